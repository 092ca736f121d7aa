// The peak memory of `cdrctl show` on a large database, for scripts/bench:
//   fill DIR MIB             a stated-calls database of about MIB MiB (not less), as the recorder
//                            writes it, at DIR/conf/telephony/CDR_db
//   measure FILE CDRCTL...   runs "CDRCTL... show stated --file FILE" in the default view and with
//                            --wide, --csv and --json, their output thrown away, each as a child
//                            process, and prints its peak resident memory (the kernel's
//                            ru_maxrss of the child) and time, and the largest of the peaks
// Results are printed as "name=value" lines.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "bench/support/bench_env.h"
#include "core/cdr_manager.h"
#include "platform/util/file_util.h"

namespace {

const char kDatabase[] = "/conf/telephony/CDR_db";

[[noreturn]] void Fail(const std::string& what) {
    fprintf(stderr, "show_memory_tool: %s\n", what.c_str());
    exit(1);
}

// Records `count` answered calls, taken round from `reports`, into a fresh recorder under the
// current root that saves the stated-calls database once, when the last one arrives.
void RecordCalls(const std::vector<BenchReport>& reports, unsigned count) {
    WriteRecorderSettings(count, count);
    CDRManager manager;
    for (unsigned i = 0; i < count; ++i) {
        const BenchReport& r = reports[i % reports.size()];
        if (manager.OnAddCDR(1, r.report, r.hasStatistics ? &r.statistics : nullptr) != 1)
            Fail("a report was refused while filling");
    }
}

// The database is sized from a small one first: records are about alike in size.
void Fill(const std::string& dir, unsigned mebibytes) {
    MakeDirs(dir);
    RootEnv env(dir);
    setenv("VELK_PATH", "/conf/", 1);
    std::vector<BenchReport> reports = MakeReports(999);
    reports.erase(std::remove_if(reports.begin(), reports.end(),
                                 [](const BenchReport& r) { return r.type != 1; }),
                  reports.end());
    const unsigned sample = 1000;
    RecordCalls(reports, sample);
    const double perRecord = static_cast<double>(FileSize(env.Real(kDatabase))) / sample;
    if (perRecord <= 0) Fail("the sample database was not written");
    const double wanted = static_cast<double>(mebibytes) * 1048576;
    RecordCalls(reports, static_cast<unsigned>(wanted / perRecord) + 1);
    const uint64_t size = FileSize(env.Real(kDatabase));
    if (static_cast<double>(size) < wanted) Fail("the database came out smaller than asked");
    printf("show_file_bytes=%llu\n", static_cast<unsigned long long>(size));
}

struct Run {
    double seconds;
    long peakKib;
};

// Runs `command` with its standard output on /dev/null; exits when it does not end with 0.
Run RunChild(const std::vector<std::string>& command) {
    std::vector<char*> argv;
    for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    const double start = MonotonicSeconds();
    const pid_t pid = fork();
    if (pid < 0) Fail("fork failed");
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        if (null < 0 || dup2(null, 1) < 0) _exit(127);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    struct rusage usage;
    if (wait4(pid, &status, 0, &usage) != pid) Fail("wait4 failed");
    const double seconds = MonotonicSeconds() - start;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        Fail("'" + command[0] + " show' failed (status " + std::to_string(status) + ")");
    return Run{seconds, usage.ru_maxrss};
}

void Measure(const std::string& file, const std::vector<std::string>& cdrctl) {
    static const struct {
        const char* name;
        const char* option;
    } kFormats[] = {{"default", nullptr}, {"wide", "--wide"}, {"csv", "--csv"}, {"json", "--json"}};
    long largest = 0;
    for (const auto& format : kFormats) {
        std::vector<std::string> command = cdrctl;
        command.insert(command.end(), {"show", "stated", "--file", file});
        if (format.option != nullptr) command.push_back(format.option);
        const Run run = RunChild(command);
        printf("show_peak_kib_%s=%ld\n", format.name, run.peakKib);
        printf("show_seconds_%s=%.3f\n", format.name, run.seconds);
        largest = std::max(largest, run.peakKib);
    }
    printf("show_peak_mib=%.1f\n", static_cast<double>(largest) / 1024);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "fill" && argc == 4) {
        Fill(argv[2], static_cast<unsigned>(strtoul(argv[3], nullptr, 10)));
    } else if (command == "measure" && argc >= 4) {
        Measure(argv[2], std::vector<std::string>(argv + 3, argv + argc));
    } else {
        fprintf(stderr,
                "usage: show_memory_tool fill DIR MIB | show_memory_tool measure FILE CDRCTL...\n");
        return 2;
    }
    return 0;
}
