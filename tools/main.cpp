// Entry point of cdrctl.
#include <stdio.h>

#include "tools/cdrctl.h"

int main(int argc, char** argv) {
    return RunCdrctl(std::vector<std::string>(argv + 1, argv + argc), stdout, stderr);
}
