#include "tools/cdrctl.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <exception>
#include <iterator>
#include <memory>
#include <type_traits>

#include "platform/config/configuration_root.h"
#include "platform/config/general_paths.h"
#include "platform/config/record_files.h"
#include "platform/config/record_journal.h"
#include "platform/messaging/recorder_client.h"
#include "platform/util/decimal.h"
#include "platform/util/env.h"
#include "platform/util/file_util.h"
#include "tools/journal_source.h"
#include "tools/spool_command.h"
#include "tools/status.h"

const char kCdrctlUsage[] =
    "usage: cdrctl [--timeout SECONDS] COMMAND ...        (default timeout 5 s)\n"
    "  add TYPE [FIELD=VALUE ...] [--repeat N]  post a call detail report of record type TYPE"
    " (N times)\n"
    "  clear MASK | flush MASK                  ask for a clear / flush of the databases in MASK;"
    " print the answer\n"
    "  reload-settings                          ask the recorder to re-read the CDR settings;"
    " print the answer\n"
    "  reload-download                          ask the recorder to re-read the download"
    " settings\n"
    "  download-now                             ask for a statistics download now\n"
    "  cm connect|disconnect                    announce the call manager's connection state\n"
    "  cgi connect|disconnect                   announce the web side's connection state\n"
    "  show stated|missed|failed|download [--wide|--csv|--json] [--since TIME] [--until TIME]"
    " [--match TEXT] [--root DIR] [--file PATH] [--limit N]\n"
    "                                           print stored records, newest first\n"
    "  status [--json]                          tell whether the recorder runs, what it holds, "
    "what\n"
    "                                           is not on storage, how saves and deliveries go\n"
    "  spool [--dir DIR]                        list the statistics files waiting for delivery,"
    " newest last\n"
    "  spool retry [--dir DIR]                  make the delivery agent try the oldest file now\n"
    "\n"
    "TYPE is sent as given (1 answered, 2 missed, 4 failed calls). MASK holds the bits 1, 2 and 4\n"
    "of those databases. Report FIELDs: startTime duration called calledType caller callerType\n"
    "guid ocd cr authUserName authType forwarder transferer hop clirCaller; the media streams'\n"
    "fields prefixed s1. and s2.: localAddress remoteAddress (dotted, 10.0.0.1) localPort\n"
    "remotePort txPackets txCodec txPacketSize rxPackets rxCodec rxPacketSize rxLost rxJitter\n"
    "rxMaxDelay rxDelayIncrease rxDelayDecrease srtp; the fax fields prefixed fax.: txPackets\n"
    "txDuplicatePackets rxPackets rxLost rxBadPackets rxDuplicatePackets anamnesis.\n"
    "Enumerations are numbers. Any s1., s2. or fax. field sends statistics (the rest zero).\n"
    "Texts hold at most 255 bytes and no control characters.\n"
    "\n"
    "show reads the record files only, as the recorder names them: the databases under the\n"
    "configuration root (--root DIR, else VELK_PATH, else /etc/velk-conf/) as general-paths.conf\n"
    "names them, the download log at /mnt/bbram/calldata/down_stat.log, and before their records\n"
    "those of the record journal (telephony/cdr.journal under the root) not yet in them; --file\n"
    "reads PATH alone instead (show download --file reads a file of the outbox too). spool works\n"
    "on download_dir of auto-down-stat.conf under VELK_PATH (else /etc/velk-conf/), or on --dir\n"
    "DIR.\n"
    "--since and --until keep the calls that started from / before TIME (local time: YYYY-MM-DD,\n"
    "YYYY-MM-DD HH:MM[:SS], or -N with s, m, h or d before now, as -2h or -7d); --match keeps\n"
    "those whose caller or called number contains TEXT; --limit N then keeps the N newest.\n"
    "Output: one line per call within 100 columns (ID, start, duration, caller, called, codec and\n"
    "packet loss of the first stream); --wide: every key, aligned; --csv: RFC 4180 (a repeated\n"
    "key fills columns KEY, KEY#2, ...); --json: one object per record (a repeated key holds the\n"
    "array of its values). CSV and JSON hold every key as stored, plus start_iso (ISO 8601).\n"
    "\n"
    "Exit status: 0 posted (answered), records or outbox printed, or agent woken; 1 the\n"
    "recorder's queue is missing, not its own or full past the timeout, or no answer came, a "
    "record\n"
    "file or the outbox is unreadable or malformed, or no delivery agent listens; 2 bad command\n"
    "line (nothing sent or read). status: 0 running and healthy, 1 not running, 2 running but\n"
    "needing attention (a failed save not made good, a closed database, a queue not served,\n"
    "deliveries failing longer than download_alarm_after minutes).\n";

namespace {

static_assert(std::is_same<uint32_t, unsigned>::value, "report counts are 32-bit unsigned");

enum class FieldType { kU16, kU32, kI32, kLong, kCallType, kAuthType, kText, kAddress };

// Where a named field lives in the message being built; `stream` picks the media stream.
struct Field {
    const char* name;
    FieldType type;
    void* (*locate)(WireMessage& message, size_t stream);
};

// clang-format off
#define REPORT_FIELD(type, name) \
    {#name, FieldType::type, [](WireMessage& m, size_t) -> void* { return &m.report.name; }}
#define STREAM_FIELD(type, name) \
    {#name, FieldType::type, \
     [](WireMessage& m, size_t stream) -> void* { return &m.statistics.streams[stream].name; }}
#define FAX_FIELD(type, name) \
    {#name, FieldType::type, [](WireMessage& m, size_t) -> void* { return &m.statistics.fax.name; }}
// clang-format on

const Field kReportFields[] = {
    REPORT_FIELD(kLong, startTime),    REPORT_FIELD(kU32, duration),
    REPORT_FIELD(kText, called),       REPORT_FIELD(kCallType, calledType),
    REPORT_FIELD(kText, caller),       REPORT_FIELD(kCallType, callerType),
    REPORT_FIELD(kText, guid),         REPORT_FIELD(kText, ocd),
    REPORT_FIELD(kText, cr),           REPORT_FIELD(kText, authUserName),
    REPORT_FIELD(kAuthType, authType), REPORT_FIELD(kText, forwarder),
    REPORT_FIELD(kText, transferer),   REPORT_FIELD(kU32, hop),
    REPORT_FIELD(kI32, clirCaller),
};

const Field kStreamFields[] = {
    STREAM_FIELD(kAddress, localAddress), STREAM_FIELD(kAddress, remoteAddress),
    STREAM_FIELD(kU16, localPort),        STREAM_FIELD(kU16, remotePort),
    STREAM_FIELD(kU32, txPackets),        STREAM_FIELD(kU16, txCodec),
    STREAM_FIELD(kU16, txPacketSize),     STREAM_FIELD(kU32, rxPackets),
    STREAM_FIELD(kU16, rxCodec),          STREAM_FIELD(kU16, rxPacketSize),
    STREAM_FIELD(kU16, rxLost),           STREAM_FIELD(kU32, rxJitter),
    STREAM_FIELD(kU32, rxMaxDelay),       STREAM_FIELD(kU16, rxDelayIncrease),
    STREAM_FIELD(kU16, rxDelayDecrease),  STREAM_FIELD(kI32, srtp),
};

const Field kFaxFields[] = {
    FAX_FIELD(kU32, txPackets),    FAX_FIELD(kU32, txDuplicatePackets),
    FAX_FIELD(kU32, rxPackets),    FAX_FIELD(kU16, rxLost),
    FAX_FIELD(kU16, rxBadPackets), FAX_FIELD(kU32, rxDuplicatePackets),
    FAX_FIELD(kText, anamnesis),
};

#undef REPORT_FIELD
#undef STREAM_FIELD
#undef FAX_FIELD

template <size_t N>
const Field* FindField(const Field (&fields)[N], const std::string& name) {
    for (const Field& field : fields)
        if (name == field.name) return &field;
    return nullptr;
}

// Parses `text` as an integer in [min, max]; on failure explains what `what` needed.
bool ParseNumber(const std::string& what, const std::string& text, long long min, long long max,
                 long long* value, std::string* error) {
    if (ParseDecimal(text, min, max, value)) return true;
    *error = "bad " + what + " '" + text + "': expected an integer from " + std::to_string(min) +
             " to " + std::to_string(max);
    return false;
}

bool ParseInt32(const std::string& what, const std::string& text, int32_t* value,
                std::string* error) {
    long long parsed = 0;
    if (!ParseNumber(what, text, INT32_MIN, INT32_MAX, &parsed, error)) return false;
    *value = static_cast<int32_t>(parsed);
    return true;
}

bool SetField(const std::string& name, FieldType type, void* target, const std::string& text,
              std::string* error) {
    long long n = 0;
    switch (type) {
        case FieldType::kU16:
            if (!ParseNumber(name, text, 0, UINT16_MAX, &n, error)) return false;
            *static_cast<uint16_t*>(target) = static_cast<uint16_t>(n);
            return true;
        case FieldType::kU32:
            if (!ParseNumber(name, text, 0, UINT32_MAX, &n, error)) return false;
            *static_cast<uint32_t*>(target) = static_cast<uint32_t>(n);
            return true;
        case FieldType::kI32:
            return ParseInt32(name, text, static_cast<int32_t*>(target), error);
        case FieldType::kLong:  // the wire carries the device's 32-bit long
            if (!ParseNumber(name, text, INT32_MIN, INT32_MAX, &n, error)) return false;
            *static_cast<long*>(target) = static_cast<long>(n);
            return true;
        case FieldType::kCallType:
            if (!ParseNumber(name, text, INT32_MIN, INT32_MAX, &n, error)) return false;
            *static_cast<CallType*>(target) = static_cast<CallType>(n);
            return true;
        case FieldType::kAuthType:
            if (!ParseNumber(name, text, INT32_MIN, INT32_MAX, &n, error)) return false;
            *static_cast<CDRAuthType*>(target) = static_cast<CDRAuthType>(n);
            return true;
        case FieldType::kText:  // fitted to travel when sent (FitWireText)
            *static_cast<std::string*>(target) = text;
            return true;
        case FieldType::kAddress: {
            struct in_addr address;
            if (inet_pton(AF_INET, text.c_str(), &address) != 1) {
                *error = "bad " + name + " '" + text + "': expected a dotted IPv4 address";
                return false;
            }
            *static_cast<uint32_t*>(target) = ntohl(address.s_addr);
            return true;
        }
    }
    return false;
}

// Applies one FIELD=VALUE argument of "add" to `message`.
bool ApplyField(const std::string& argument, WireMessage* message, std::string* error) {
    size_t equals = argument.find('=');
    if (equals == std::string::npos) {
        *error = "expected FIELD=VALUE, got '" + argument + "'";
        return false;
    }
    std::string name = argument.substr(0, equals);
    std::string value = argument.substr(equals + 1);
    const Field* field = nullptr;
    size_t stream = 0;
    bool statistics = true;
    if (name.compare(0, 3, "s1.") == 0 || name.compare(0, 3, "s2.") == 0) {
        field = FindField(kStreamFields, name.substr(3));
        stream = name[1] == '1' ? 0 : 1;
    } else if (name.compare(0, 4, "fax.") == 0) {
        field = FindField(kFaxFields, name.substr(4));
    } else {
        field = FindField(kReportFields, name);
        statistics = false;
    }
    if (field == nullptr) {
        *error = "unknown field '" + name + "'";
        return false;
    }
    if (!SetField(name, field->type, field->locate(*message, stream), value, error)) return false;
    message->hasStatistics = message->hasStatistics || statistics;
    return true;
}

bool ParseAdd(const std::vector<std::string>& args, size_t at, CdrctlCommand* command,
              std::string* error) {
    WireMessage& message = command->message;
    message.kind = MessageKind::kAddCDR;
    if (at >= args.size()) {
        *error = "add needs a record TYPE";
        return false;
    }
    if (!ParseInt32("record type", args[at], &message.recordType, error)) return false;
    for (++at; at < args.size(); ++at) {
        if (args[at] == "--repeat") {
            long long repeat = 0;
            if (++at >= args.size()) {
                *error = "--repeat needs a count";
                return false;
            }
            if (!ParseNumber("repeat count", args[at], 1, 1000000, &repeat, error)) return false;
            command->repeat = static_cast<int>(repeat);
        } else if (!ApplyField(args[at], &message, error)) {
            return false;
        }
    }
    return true;
}

// The commands that take no argument, or one fixed word.
bool ParseSimple(const std::string& verb, const std::vector<std::string>& rest,
                 WireMessage* message, std::string* error) {
    struct Simple {
        const char* verb;
        MessageKind kind;
    };
    static const Simple kSimple[] = {
        {"reload-settings", MessageKind::kUpdateCDRSettings},
        {"reload-download", MessageKind::kUpdateDownloadSettings},
        {"download-now", MessageKind::kDownloadNow},
    };
    for (const Simple& simple : kSimple) {
        if (verb != simple.verb) continue;
        message->kind = simple.kind;
        if (rest.empty()) return true;
        *error = verb + " takes no arguments";
        return false;
    }
    if (verb == "cm" || verb == "cgi") {
        message->kind = verb == "cm" ? MessageKind::kCMPartyState : MessageKind::kCGIPartyState;
        if (rest.size() == 1 && (rest[0] == "connect" || rest[0] == "disconnect")) {
            message->connected = rest[0] == "connect";
            return true;
        }
        *error = verb + " needs connect or disconnect";
        return false;
    }
    if (verb == "clear" || verb == "flush") {
        message->kind = verb == "clear" ? MessageKind::kClear : MessageKind::kFlush;
        if (rest.size() == 1) return ParseInt32("mask", rest[0], &message->mask, error);
        *error = verb + " needs one MASK";
        return false;
    }
    *error = "unknown command '" + verb + "'";
    return false;
}

bool ParseTimeout(const std::string& text, int* millis, std::string* error) {
    char* end = nullptr;
    double seconds = text.empty() ? -1 : strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(seconds >= 0 && seconds <= 86400)) {
        *error = "bad timeout '" + text + "': expected seconds from 0 to 86400";
        return false;
    }
    *millis = static_cast<int>(lround(seconds * 1000));
    return true;
}

// Takes the value of the option args[*at] into `*value`; false when it has none.
bool TakeOptionValue(const std::vector<std::string>& args, size_t* at, std::string* value,
                     std::string* error) {
    if (*at + 1 >= args.size() || args[*at + 1].empty()) {
        *error = args[*at] + " needs a value";
        return false;
    }
    *value = args[++*at];
    return true;
}

bool ParseShowOption(const std::vector<std::string>& args, size_t* at, CdrctlCommand* command,
                     std::string* error) {
    const std::string& option = args[*at];
    if (option == "--wide" || option == "--csv" || option == "--json") {
        command->format = option == "--wide"  ? RecordFormat::kTable
                          : option == "--csv" ? RecordFormat::kCsv
                                              : RecordFormat::kJson;
        return true;
    }
    if (option == "--since" || option == "--until") {
        RecordFilter& filter = command->filter;
        const bool since = option == "--since";
        std::string text;
        struct timespec now;
        Env::Current()->Now(&now);
        if (!TakeOptionValue(args, at, &text, error) ||
            !ParseTimeBound(text, now.tv_sec, since ? &filter.since : &filter.until, error))
            return false;
        (since ? filter.hasSince : filter.hasUntil) = true;
        return true;
    }
    if (option == "--match") return TakeOptionValue(args, at, &command->filter.match, error);
    if (option == "--root") {
        if (!TakeOptionValue(args, at, &command->root, error)) return false;
        if (command->root.back() != '/') command->root += '/';
        return true;
    }
    if (option == "--file") return TakeOptionValue(args, at, &command->file, error);
    if (option == "--limit") {
        std::string text;
        long long limit = 0;
        if (!TakeOptionValue(args, at, &text, error) ||
            !ParseNumber("limit", text, 1, INT32_MAX, &limit, error))
            return false;
        command->limit = static_cast<size_t>(limit);
        return true;
    }
    *error = "unknown show option '" + option + "'";
    return false;
}

bool ParseShow(const std::vector<std::string>& args, size_t at, CdrctlCommand* command,
               std::string* error) {
    command->action = CdrctlAction::kShow;
    static const char* const kRecords[] = {"stated", "missed", "failed", "download"};
    if (at >= args.size() ||
        std::find(std::begin(kRecords), std::end(kRecords), args[at]) == std::end(kRecords)) {
        *error = "show needs stated, missed, failed or download";
        return false;
    }
    command->records = args[at];
    for (++at; at < args.size(); ++at)
        if (!ParseShowOption(args, &at, command, error)) return false;
    return true;
}

// "spool [retry] [--dir DIR]".
bool ParseSpool(const std::vector<std::string>& args, size_t at, CdrctlCommand* command,
                std::string* error) {
    command->action = CdrctlAction::kSpool;
    if (at < args.size() && args[at] == "retry") {
        command->action = CdrctlAction::kRetry;
        ++at;
    }
    for (; at < args.size(); ++at) {
        if (args[at] != "--dir") {
            *error = "unknown spool argument '" + args[at] + "'";
            return false;
        }
        if (!TakeOptionValue(args, &at, &command->outbox, error)) return false;
    }
    return true;
}

// Runs "spool" or "spool retry".
int Spool(const CdrctlCommand& command, FILE* out, FILE* err) {
    std::string folder;
    try {
        folder = OutboxFolder(command.outbox);
    } catch (const std::exception& e) {
        fprintf(err, "cdrctl: %s\n", e.what());
        return 1;
    }
    return command.action == CdrctlAction::kSpool ? ListSpool(folder, out, err)
                                                  : WakeSpool(folder, out, err);
}

// Throws FileError unless `root` is a folder that can be read: a mistyped root would otherwise
// read as databases without records.
void RequireFolder(const std::string& root) {
    Env* env = Env::Current();
    const int fd = env->Open(root.c_str(), O_RDONLY | O_DIRECTORY, 0);
    if (fd < 0) throw FileError("open configuration root", root, errno);
    env->Close(fd);
}

// The file that holds the records `command` shows.
std::string RecordFilePath(const CdrctlCommand& command) {
    if (!command.file.empty()) return command.file;
    if (command.records == "download") return kDownloadLogPath;
    const std::string root = command.root.empty() ? ConfigurationRoot() : command.root;
    RequireFolder(root);
    const std::unique_ptr<GeneralPaths> paths = GeneralPaths::Read(root);
    const int index = command.records == "stated" ? 0 : command.records == "missed" ? 1 : 2;
    const std::string& name = paths->DatabaseName(index);
    return DatabasePath(root, name.empty() ? kDefaultDatabaseNames[index] : name);
}

// The record journal's target of the records `command` shows.
int JournalTarget(const CdrctlCommand& command) {
    return command.records == "stated"   ? 0
           : command.records == "missed" ? 1
           : command.records == "failed" ? 2
                                         : RecordJournal::kDownloadLogTarget;
}

int Show(const CdrctlCommand& command, FILE* out, FILE* err) {
    try {
        const std::string path = RecordFilePath(command);
        RecordFileSource file(path, command.records == "download");
        // Without --file, the records of the journal beside the databases that the file does
        // not hold yet come first; --file shows that file alone.
        std::unique_ptr<JournaledRecordSource> journaled;
        if (command.file.empty()) {
            const std::string root = command.root.empty() ? ConfigurationRoot() : command.root;
            journaled.reset(new JournaledRecordSource(&file, RecordJournal::JournalPath(root),
                                                      JournalTarget(command), err));
        }
        RecordSource& source = journaled ? static_cast<RecordSource&>(*journaled) : file;
        const size_t shown =
            ListRecords(source, command.filter, command.limit, command.format, out);
        const bool forPeople =
            command.format == RecordFormat::kSummary || command.format == RecordFormat::kTable;
        if (shown == 0 && forPeople) fprintf(out, "no records in %s\n", path.c_str());
        return 0;
    } catch (const std::exception& e) {
        fprintf(err, "cdrctl: %s\n", e.what());
        return 1;
    }
}

void PrintAnswer(const WireMessage& answer, FILE* out) {
    switch (answer.kind) {
        case MessageKind::kClearAnswer:
            fprintf(out, "clear %d: answered\n", answer.mask);
            break;
        case MessageKind::kFlushAnswer:
            fprintf(out, "flush %d: answered\n", answer.mask);
            break;
        default:
            fprintf(out, "reload-settings: answered\n");
            break;
    }
}

}  // namespace

bool ParseCdrctlArguments(const std::vector<std::string>& args, CdrctlCommand* command,
                          std::string* error) {
    size_t at = 0;
    if (at < args.size() && (args[at] == "--help" || args[at] == "-h")) {
        command->help = true;
        return true;
    }
    if (at < args.size() && args[at] == "--timeout") {
        if (at + 1 >= args.size()) {
            *error = "--timeout needs SECONDS";
            return false;
        }
        if (!ParseTimeout(args[at + 1], &command->timeoutMillis, error)) return false;
        at += 2;
    }
    if (at >= args.size()) {
        *error = "no command given (cdrctl --help lists them)";
        return false;
    }
    const std::string& verb = args[at];
    if (verb == "add") return ParseAdd(args, at + 1, command, error);
    if (verb == "show") return ParseShow(args, at + 1, command, error);
    if (verb == "spool") return ParseSpool(args, at + 1, command, error);
    if (verb == "status") {
        command->action = CdrctlAction::kStatus;
        command->format = RecordFormat::kJson;
        if (at + 2 == args.size() && args[at + 1] == "--json") return true;
        command->format = RecordFormat::kSummary;
        if (at + 1 == args.size()) return true;
        *error = "status takes only --json";
        return false;
    }
    std::vector<std::string> rest(args.begin() + static_cast<long>(at) + 1, args.end());
    return ParseSimple(verb, rest, &command->message, error);
}

int RunCdrctl(const std::vector<std::string>& args, FILE* out, FILE* err) {
    CdrctlCommand command;
    std::string error;
    if (!ParseCdrctlArguments(args, &command, &error)) {
        fprintf(err, "cdrctl: %s\n", error.c_str());
        return 2;
    }
    if (command.help) {
        fputs(kCdrctlUsage, out);
        return 0;
    }
    if (command.action == CdrctlAction::kShow) return Show(command, out, err);
    if (command.action == CdrctlAction::kStatus)
        return PrintRecorderStatus(command.format == RecordFormat::kJson, out);
    if (command.action == CdrctlAction::kSpool || command.action == CdrctlAction::kRetry)
        return Spool(command, out, err);
    RecorderClient client(command.timeoutMillis);
    MessageKind answerKind;
    ClientStatus status = ClientStatus::kDone;
    if (RecorderClient::AnswerKindOf(command.message.kind, &answerKind)) {
        WireMessage answer;
        status = client.Ask(command.message, &answer);
        if (status == ClientStatus::kDone) PrintAnswer(answer, out);
    } else {
        for (int i = 0; i < command.repeat && status == ClientStatus::kDone; ++i)
            status = client.Post(command.message);
    }
    if (!client.fitted().empty())
        fprintf(err, "cdrctl: warning: texts fitted before sending: %s\n", client.fitted().c_str());
    if (status == ClientStatus::kDone) return 0;
    fprintf(err, "cdrctl: %s\n", client.error().c_str());
    return status == ClientStatus::kInvalid ? 2 : 1;
}
