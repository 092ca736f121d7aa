// The recorder's storage costs as ratios to plain operations timed in the same process, for runs
// where absolute times say little: on the cross-built target under user-mode emulation the
// emulator's speed cancels out of a ratio. Needs no third-party library. Commands, each on a
// folder DIR that becomes the file system root of the recorder:
//   fill DIR     three 10,000-record databases under DIR/full, each saved once when full
//   open DIR     resident and heap bytes per record of opening them (run in a fresh process)
//                against their bytes on disk
//   ratios DIR   load and save of the stated calls database against a plain read, a read with a
//                pass over the bytes, and a crash-safe replace of the same bytes; time per report
//                in the handler at 10, 1,000 and 10,000 records per database, saves excluded,
//                against a fixed plain operation
// Results are printed as "name=value" lines. Times are medians of several rounds, in processor
// time except for saves, which wait for the storage.
#include <errno.h>
#include <fcntl.h>
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bench/support/bench_env.h"
#include "core/cdr_manager.h"
#include "platform/config/record_syntax.h"
#include "state/record_files.h"

namespace {

const unsigned kNeverSave = 4294967295u;
const unsigned kFullRecords = 10000;
const char kStatedDatabase[] = "/conf/telephony/CDR_db";

[[noreturn]] void Fail(const char* what) {
    fprintf(stderr, "target_cost_tool: %s: %s\n", what, strerror(errno));
    exit(1);
}

// Seconds of processor time this process has used, in user space and in the kernel: unlike the
// time on the clock it leaves out the time spent waiting for a processor that other work holds.
double ProcessorSeconds() {
    struct timespec now;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The median of `rounds` timings of `work` by `clock`, in seconds.
double MedianSeconds(unsigned rounds, double (*clock)(), const std::function<void()>& work) {
    std::vector<double> times;
    for (unsigned i = 0; i < rounds; ++i) {
        const double start = clock();
        work();
        times.push_back(clock() - start);
    }
    return Median(times);
}

// Hands `count` reports to `manager`, taken round from `reports` from report `first` on.
void Feed(CDRManager* manager, const std::vector<BenchReport>& reports, unsigned first,
          unsigned count) {
    for (unsigned i = 0; i < count; ++i) {
        const BenchReport& r = reports[(first + i) % reports.size()];
        if (manager->OnAddCDR(r.type, r.report, r.hasStatistics ? &r.statistics : nullptr) != 1) {
            fprintf(stderr, "target_cost_tool: a report was refused\n");
            exit(1);
        }
    }
}

std::string ReadWhole(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) Fail(path.c_str());
    std::string text(static_cast<size_t>(st.st_size), '\0');
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0 || read(fd, &text[0], text.size()) != static_cast<ssize_t>(text.size()))
        Fail(path.c_str());
    close(fd);
    return text;
}

// A pass over every byte that any reader of the text makes at least: its line ends counted.
size_t CountLines(const std::string& text) {
    size_t lines = 0;
    const char* at = text.data();
    const char* const end = at + text.size();
    while ((at = static_cast<const char*>(memchr(at, '\n', end - at))) != nullptr) {
        ++lines;
        ++at;
    }
    return lines;
}

// What any crash-safe whole-file replace costs: a temporary file written and synced, renamed over
// the file, the folder synced.
void ReplaceSafely(const std::string& folder, const std::string& text) {
    const std::string path = folder + "/replaced", temporary = path + ".tmp";
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        Fail(temporary.c_str());
    fsync(fd);
    close(fd);
    if (rename(temporary.c_str(), path.c_str()) != 0) Fail(path.c_str());
    const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    fsync(dir);
    close(dir);
}

// The folder `dir`/`name`, made when absent, as the root for a recorder.
std::string Root(const std::string& dir, const std::string& name) {
    const std::string root = dir + "/" + name;
    if (mkdir(root.c_str(), 0755) != 0 && errno != EEXIST) Fail(root.c_str());
    return root;
}

void Fill(const std::string& dir, const std::vector<BenchReport>& reports) {
    RootEnv env(Root(dir, "full"));
    WriteRecorderSettings(kFullRecords, kFullRecords);
    CDRManager manager;
    Feed(&manager, reports, 0, 3 * kFullRecords);
    manager.CatchUpWhileIdle();  // compacts the journal the saves made obsolete, as on a device
}

// Bytes the process's allocator has handed out and not had back. Unlike the resident set this
// counts only the program's own memory, also under an emulator, whose own memory is resident too.
uint64_t HeapBytes() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

void Open(const std::string& dir) {
    RootEnv env(Root(dir, "full"));
    const uint64_t before = ResidentBytes(), heapBefore = HeapBytes();
    CDRManager manager;
    const double resident = static_cast<double>(ResidentBytes() - before) / (3 * kFullRecords);
    const double heap = static_cast<double>(HeapBytes() - heapBefore) / (3 * kFullRecords);
    uint64_t disk = 0;
    for (const char* name : kDefaultDatabaseNames)
        disk += FileSize(env.Real(DatabasePath("/conf/", name).c_str()));
    const double diskPerRecord = static_cast<double>(disk) / (3 * kFullRecords);
    printf("resident_per_record=%.1f\n", resident);
    printf("disk_per_record=%.1f\n", diskPerRecord);
    printf("memory_ratio=%.3f\n", resident / diskPerRecord);
    printf("heap_per_record=%.1f\n", heap);
}

void LoadAndSave(const std::string& dir) {
    RootEnv env(Root(dir, "full"));
    const std::string path = env.Real(kStatedDatabase), folder = env.Real("/conf/telephony");
    const double load = MedianSeconds(7, ProcessorSeconds, [] {
        if (OpenDatabaseFile(kStatedDatabase, true)->GetSectionCount() != kFullRecords) {
            fprintf(stderr, "target_cost_tool: the database is not full\n");
            exit(1);
        }
    });
    const double read = MedianSeconds(21, ProcessorSeconds, [&path] { ReadWhole(path); });
    size_t lines = 0;
    const double scan = MedianSeconds(21, ProcessorSeconds,
                                      [&path, &lines] { lines = CountLines(ReadWhole(path)); });
    printf("load_ms=%.3f\nread_ms=%.3f\nscan_ms=%.3f\n", load * 1e3, read * 1e3, scan * 1e3);
    printf("load_ratio=%.3f\nload_vs_scan_ratio=%.3f\n", load / read, load / scan);

    std::unique_ptr<Configuration::MultiSectionFile> database =
        OpenDatabaseFile(kStatedDatabase, false);
    const std::string text = ReadWhole(path);
    const double save =
        MedianSeconds(5, MonotonicSeconds, [&database] { database->Save(true, nullptr); });
    const double replace =
        MedianSeconds(5, MonotonicSeconds, [&folder, &text] { ReplaceSafely(folder, text); });
    printf("save_ms=%.3f\nsafe_replace_ms=%.3f\nsave_ratio=%.3f\n", save * 1e3, replace * 1e3,
           save / replace);
}

// A recorder on a root of its own whose databases hold `records` each, filled and turned over
// once, with saves excluded (the save period is longer than any run).
struct Handler {
    Handler(const std::string& dir, unsigned records, const std::vector<BenchReport>& reports)
        : root(Root(dir, "handler" + std::to_string(records))) {
        RootEnv env(root);
        WriteRecorderSettings(records, kNeverSave);
        manager.reset(new CDRManager);
        Feed(manager.get(), reports, 0, 6 * records);
        next = 6 * records;
    }
    // Processor seconds per report over the next `count` reports.
    double SecondsPerReport(const std::vector<BenchReport>& reports, unsigned count) {
        RootEnv env(root);
        const double start = ProcessorSeconds();
        Feed(manager.get(), reports, next, count);
        next += count;
        return (ProcessorSeconds() - start) / count;
    }

    std::string root;
    std::unique_ptr<CDRManager> manager;
    unsigned next = 0;
};

// A fixed plain operation to measure the handler against, round by round, so that a change in the
// machine's other load during the run falls on both: a pass over 64 KiB of database text in
// memory, counting its lines, done 16 times.
double PlainOperationSeconds(const std::string& text) {
    const double start = ProcessorSeconds();
    size_t lines = 0;
    for (int i = 0; i < 16; ++i) lines += CountLines(text);
    if (lines == 0) exit(1);
    return ProcessorSeconds() - start;
}

// Time per report at 10, 1,000 and 10,000 records per database, one recorder at a time (the
// recorder's trace log is one per process), each round's time taken relative to the plain
// operation just before it; flatness is the ratio of those relative times at 10,000 and at 10.
void PerReport(const std::string& dir, const std::vector<BenchReport>& reports) {
    const unsigned sizes[3] = {10, 1000, 10000}, rounds = 9, perRound = 1800;
    const std::string plain = ReadWhole(dir + "/full" + kStatedDatabase).substr(0, 65536);
    double relative[3];
    for (int i = 0; i < 3; ++i) {
        Handler handler(dir, sizes[i], reports);
        std::vector<double> times, ratios;
        for (unsigned round = 0; round < rounds; ++round) {
            const double reference = PlainOperationSeconds(plain);
            times.push_back(handler.SecondsPerReport(reports, perRound));
            ratios.push_back(times.back() / reference);
        }
        relative[i] = Median(ratios);
        printf("per_report_us_%u=%.3f\nper_report_vs_plain_%u=%.4f\n", sizes[i],
               Median(times) * 1e6, sizes[i], relative[i]);
    }
    printf("per_report_flat=%.3f\n", relative[2] / relative[0]);
}

void Ratios(const std::string& dir, const std::vector<BenchReport>& reports) {
    LoadAndSave(dir);
    PerReport(dir, reports);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: target_cost_tool fill|open|ratios DIR\n");
        return 2;
    }
    const std::string command = argv[1], dir = argv[2];
    setenv("VELK_PATH", "/conf/", 1);
    // As store_cost_tool: distinct neighbouring reports, every record type getting the same share.
    const std::vector<BenchReport> reports = MakeReports(999);
    if (command == "fill")
        Fill(dir, reports);
    else if (command == "open")
        Open(dir);
    else if (command == "ratios")
        Ratios(dir, reports);
    else
        return 2;
    return 0;
}
