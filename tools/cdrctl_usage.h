// The usage text of `cdrctl --help`: the commands, the fields a report can be given (named from
// the report's own field lists, so that the text follows them), the record files and the exit
// status.
#pragma once

#include <string>

// The whole usage text, each line ending in a line end.
const std::string& CdrctlUsage();
