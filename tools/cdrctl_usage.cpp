#include "tools/cdrctl_usage.h"

#include "platform/messaging/call_detail_report.h"

namespace {

// The commands, each with what it does; the first paragraph.
const char kCommands[] =
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
    "  outbox [--dir DIR]                       list the statistics files waiting for delivery,"
    " newest last\n"
    "  outbox retry [--dir DIR]                 make the delivery agent try the oldest file now\n"
    "\n";

// What the field paragraph says before the names of the fields.
const char kTypeAndMask[] =
    "TYPE is sent as given (1 answered, 2 missed, 4 failed calls). MASK holds the bits 1, 2 and 4 "
    "of those databases.";

// The widest line of the field paragraph.
const size_t kParagraphColumns = 92;

// What follows the field paragraph: forms, the record files, the options of show and the exit
// status.
const char kNotes[] =
    "Enumerations are numbers. Any s1., s2. or fax. field sends statistics (the rest zero).\n"
    "Texts hold at most 255 bytes and no control characters.\n"
    "\n"
    "show reads the record files only, as the recorder names them: the databases under the\n"
    "configuration root (--root DIR, else VELK_PATH, else /etc/velk-conf/) as general-paths.conf\n"
    "names them, the download log at /mnt/bbram/calldata/down_stat.log, and before their records\n"
    "those of the record journal (telephony/cdr.journal under the root) not yet in them; --file\n"
    "reads PATH alone instead (show download --file reads a file of the outbox too). outbox\n"
    "works on download_dir of auto-down-stat.conf under VELK_PATH (else /etc/velk-conf/), or on\n"
    "--dir DIR; spool is another name for it (spool, spool retry).\n"
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

struct NamedField {
    const char* name;
    ReportFieldForm form;
};

#define CDR_NAMED_FIELD(type, name, form) {#name, ReportFieldForm::form},
const NamedField kReportFields[] = {CDR_REPORT_FIELDS(CDR_NAMED_FIELD)};
const NamedField kStreamFields[] = {CDR_STREAM_FIELDS(CDR_NAMED_FIELD)};
const NamedField kFaxFields[] = {CDR_FAX_FIELDS(CDR_NAMED_FIELD)};
#undef CDR_NAMED_FIELD

// The names of `fields`, blank-separated, with an example after the addresses.
template <size_t N>
std::string Names(const NamedField (&fields)[N]) {
    std::string names;
    for (size_t i = 0; i < N; ++i) {
        names += (i == 0 ? "" : " ") + std::string(fields[i].name);
        const bool address = fields[i].form == ReportFieldForm::kAddress;
        if (address && (i + 1 == N || fields[i + 1].form != ReportFieldForm::kAddress))
            names += " (dotted, 10.0.0.1)";
    }
    return names;
}

// `text` broken at blanks into lines of at most `columns` (a longer word keeps a line of its
// own), each ending in a line end.
std::string Wrap(const std::string& text, size_t columns) {
    std::string wrapped, line;
    for (size_t at = 0; at < text.size();) {
        size_t blank = text.find(' ', at);
        if (blank == std::string::npos) blank = text.size();
        const std::string word = text.substr(at, blank - at);
        if (!line.empty() && line.size() + 1 + word.size() > columns) {
            wrapped += line + "\n";
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
        at = blank + 1;
    }
    return line.empty() ? wrapped : wrapped + line + "\n";
}

std::string BuildUsage() {
    const std::string fields =
        std::string(kTypeAndMask) + " Report FIELDs: " + Names(kReportFields) +
        "; the media streams' fields prefixed s1. and s2.: " + Names(kStreamFields) +
        "; the fax fields prefixed fax.: " + Names(kFaxFields) + ".";
    return kCommands + Wrap(fields, kParagraphColumns) + kNotes;
}

}  // namespace

const std::string& CdrctlUsage() {
    static const std::string usage = BuildUsage();
    return usage;
}
