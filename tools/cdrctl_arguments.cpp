#include "tools/cdrctl_arguments.h"

#include <math.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <iterator>

#include "platform/util/env.h"
#include "tools/number_argument.h"
#include "tools/report_fields.h"

namespace {

bool ParseAdd(const std::vector<std::string>& args, size_t at, CdrctlCommand* command,
              std::string* error) {
    WireMessage& message = command->message;
    message.kind = MessageKind::kAddCDR;
    if (at >= args.size()) {
        *error = "add needs a record TYPE";
        return false;
    }
    if (!ParseInt32Argument("record type", args[at], &message.recordType, error)) return false;
    for (++at; at < args.size(); ++at) {
        if (args[at] == "--repeat") {
            long long repeat = 0;
            if (++at >= args.size()) {
                *error = "--repeat needs a count";
                return false;
            }
            if (!ParseNumberArgument("repeat count", args[at], 1, 1000000, &repeat, error))
                return false;
            command->repeat = static_cast<int>(repeat);
        } else if (!ApplyReportField(args[at], &message, error)) {
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
        if (rest.size() == 1) return ParseInt32Argument("mask", rest[0], &message->mask, error);
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
            !ParseNumberArgument("limit", text, 1, INT32_MAX, &limit, error))
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

// "outbox [retry] [--dir DIR]" ("spool" is the same command under its former name).
bool ParseOutbox(const std::vector<std::string>& args, size_t at, CdrctlCommand* command,
                 std::string* error) {
    command->action = CdrctlAction::kOutbox;
    if (at < args.size() && args[at] == "retry") {
        command->action = CdrctlAction::kRetry;
        ++at;
    }
    for (; at < args.size(); ++at) {
        if (args[at] != "--dir") {
            *error = "unknown outbox argument '" + args[at] + "'";
            return false;
        }
        if (!TakeOptionValue(args, &at, &command->outbox, error)) return false;
    }
    return true;
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
    if (verb == "outbox" || verb == "spool") return ParseOutbox(args, at + 1, command, error);
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
