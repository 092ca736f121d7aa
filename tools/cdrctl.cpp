#include "tools/cdrctl.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <math.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <type_traits>

#include "platform/recorder_client.h"

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
    "Exit status: 0 posted (answered), 1 the recorder's queue is missing or full past the\n"
    "timeout or no answer came, 2 bad command line (nothing sent).\n";

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

// A decimal integer in [min, max], nothing before or after it.
bool ParseInteger(const std::string& text, long long min, long long max, long long* value) {
    if (text.empty() || !(isdigit(static_cast<unsigned char>(text[0])) || text[0] == '-'))
        return false;
    errno = 0;
    char* end = nullptr;
    long long parsed = strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || parsed < min || parsed > max) return false;
    *value = parsed;
    return true;
}

// Parses `text` as an integer in [min, max]; on failure explains what `what` needed.
bool ParseNumber(const std::string& what, const std::string& text, long long min, long long max,
                 long long* value, std::string* error) {
    if (ParseInteger(text, min, max, value)) return true;
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
        case FieldType::kText: {
            const char* problem = CheckWireText(text);
            if (problem != nullptr) {
                *error = "bad " + name + ": " + problem;
                return false;
            }
            *static_cast<std::string*>(target) = text;
            return true;
        }
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
    if (status == ClientStatus::kDone) return 0;
    fprintf(err, "cdrctl: %s\n", client.error().c_str());
    return status == ClientStatus::kInvalid ? 2 : 1;
}
