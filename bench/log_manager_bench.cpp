// Cost of one trace line in direct mode (formatting, time stamp, stream, flush) against one plain
// write(2) of a line of the same length to a file opened for appending.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <map>
#include <string>

#include "guard/log_manager.h"
#include "platform/util/env.h"

namespace {

const char kMessage[] = "OnAddCDR: type %d, stated calls database, record %u of %u saved\n";
const int kType = 1;
const unsigned kRecord = 1234, kLimit = 5000;

// Puts the log folder under a private temporary folder.
class TempRootEnv : public ForwardingEnv {
  public:
    explicit TempRootEnv(const std::string& root) : ForwardingEnv(Env::Posix()), mRoot(root) {}
    int Open(const char* path, int flags, int mode) override {
        return ForwardingEnv::Open((mRoot + path).c_str(), flags, mode);
    }
    int MakeDir(const char* path, int mode) override {
        return ForwardingEnv::MakeDir((mRoot + path).c_str(), mode);
    }
    int Lstat(const char* path, struct stat* out) override {
        return ForwardingEnv::Lstat((mRoot + path).c_str(), out);
    }

  private:
    std::string mRoot;
};

std::string gRoot;

std::string FormattedLine() {
    char text[256];
    snprintf(text, sizeof text, kMessage, kType, kRecord, kLimit);
    return std::string("14:03:07.042  ") + text;  // the stamp the manager puts in front
}

void BM_TraceDirect(benchmark::State& state) {
    LogManager log("bench.log", true, true, 0, 8192);
    for (auto _ : state) log.TRACEX(kMessage, kType, kRecord, kLimit);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TraceDirect);

void BM_PlainWrite(benchmark::State& state) {
    std::string line = FormattedLine();
    int fd = open((gRoot + "/plain.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    for (auto _ : state) benchmark::DoNotOptimize(write(fd, line.data(), line.size()));
    close(fd);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PlainWrite);

// The console report, then how many plain writes one trace line costs.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) mTimes[run.benchmark_name()] = run.GetAdjustedRealTime();
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        if (mTimes.count("BM_TraceDirect") == 0 || mTimes.count("BM_PlainWrite") == 0) return;
        printf("line length %zu; one trace line costs %.2f plain writes\n", FormattedLine().size(),
               mTimes["BM_TraceDirect"] / mTimes["BM_PlainWrite"]);
    }

  private:
    std::map<std::string, double> mTimes;
};

}  // namespace

int main(int argc, char** argv) {
    char pattern[] = "/tmp/cdr-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 1;
    gRoot = pattern;
    TempRootEnv env(gRoot);
    Env::SetCurrent(&env);
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    Env::SetCurrent(nullptr);
    for (const char* file : {"/tmp/logs/bench.log", "/plain.log"}) unlink((gRoot + file).c_str());
    for (const char* folder : {"/tmp/logs", "/tmp", ""}) rmdir((gRoot + folder).c_str());
    return 0;
}
