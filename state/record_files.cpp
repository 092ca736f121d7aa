#include "state/record_files.h"

const char kDownloadLogPath[] = "/mnt/bbram/calldata/down_stat.log";

const char* const kDefaultDatabaseNames[3] = {"CDR_db", "missed_calls_db", "unsuccess_calls_db"};

std::string DatabasePath(const std::string& root, const std::string& name) {
    if (name.find_first_of("/\\") != std::string::npos) return name;
    return root + "telephony/" + name;
}
