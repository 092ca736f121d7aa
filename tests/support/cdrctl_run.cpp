#include "support/cdrctl_run.h"

#include <stdio.h>

#include "tools/cdrctl.h"

namespace {

std::string ReadBack(FILE* file) {
    std::string text;
    rewind(file);
    for (int c; (c = fgetc(file)) != EOF;) text += static_cast<char>(c);
    fclose(file);
    return text;
}

}  // namespace

CdrctlOutcome RunCdrctlCaptured(const std::vector<std::string>& args) {
    FILE* out = tmpfile();
    FILE* err = tmpfile();
    const int status = RunCdrctl(args, out, err);
    return {status, ReadBack(out), ReadBack(err)};
}
