// Reading a key=value settings file as the recorder reads the device's general settings: 10,000
// and 40,000 lines, each setting its own key, some with a comment after the value, read from a
// file on disk. The time per line must not grow with the file: compare the two sizes'
// "items_per_second" (or the fitted complexity, which should read O(N)).
//   build/bench/bench/settings_file_bench
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "platform/config/config_file.h"
#include "platform/util/file_util.h"

namespace {

// A settings file of `lines` lines in the temporary folder, made once per size.
std::string SettingsFile(long lines) {
    const char* base = getenv("TMPDIR");
    const std::string path = std::string(base != nullptr ? base : "/tmp") + "/settings-bench-" +
                             std::to_string(getpid()) + "-" + std::to_string(lines) + ".conf";
    std::string text;
    char line[96];
    for (long i = 0; i < lines; ++i) {
        snprintf(
            line, sizeof line,
            i % 4 == 0 ? "subsystem_%ld_value = %ld   # a note\n" : "subsystem_%ld_value=%ld\n", i,
            i * 7919 % 100000);
        text += line;
    }
    WriteFileAtomically(path, text);
    return path;
}

void BM_ReadSettingsFile(benchmark::State& state) {
    const std::string path = SettingsFile(state.range(0));
    for (auto _ : state) {
        Configuration::ConfigFile file(path.c_str(), true, false, false, "=", "#", nullptr);
        benchmark::DoNotOptimize(file.Find("subsystem_0_value"));
    }
    unlink(path.c_str());
    state.SetItemsProcessed(state.iterations() * state.range(0));
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_ReadSettingsFile)
    ->Arg(10000)
    ->Arg(40000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);

}  // namespace

BENCHMARK_MAIN();
