// Runs cdrctl in the test's process and captures what it prints.
#pragma once

#include <string>
#include <vector>

struct CdrctlOutcome {
    int status;
    std::string out, err;
};

// RunCdrctl with `args` (the words after the program name), its output and errors captured.
CdrctlOutcome RunCdrctlCaptured(const std::vector<std::string>& args);
