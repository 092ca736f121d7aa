// Costs of the sectioned file as the call record databases use it: a record added at the front
// with the oldest dropped, at several database sizes; saving a full database against a
// crash-safe replace of the same bytes (and a bare write+fsync), loading it against a bare read
// of the same bytes; memory per record against its bytes on disk. Prints the ratios after the
// runs.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/config/multi_section_file.h"

using Configuration::MultiSectionConfigFile;
using Configuration::MultiSectionFile;

namespace {

const char* const kKeys[30] = {
    "ID",          "ST",         "dur",           "called",        "called_type", "caller",
    "caller_type", "GUID",       "auth_un",       "auth_type",     "hop",         "tx_pkt",
    "tx_enc",      "tx_pkt_sz",  "rx_pkt",        "rx_enc",        "rx_pkt_sz",   "rx_lost",
    "rx_jtr",      "rx_max_del", "rx_delay_incr", "rx_delay_decr", "loc_addr",    "loc_port",
    "rem_addr",    "rem_port",   "srtp",          "tx_pkt_2",      "tx_enc_2",    "rx_pkt_2"};

// A call record of 30 entries with values shaped like real ones.
void AddRecord(MultiSectionConfigFile* file, unsigned id) {
    char values[30][48];
    snprintf(values[0], 48, "%u", id);
    snprintf(values[1], 48, "%u", 1700000000u + id * 37);
    snprintf(values[2], 48, "%u", id % 3600);
    snprintf(values[3], 48, "sip:%u@voice.example.net", 4000 + id % 1000);
    snprintf(values[4], 48, "SIP");
    snprintf(values[5], 48, "+4930%07u", id * 7919 % 10000000);
    snprintf(values[6], 48, "PSTN");
    snprintf(values[7], 48, "%08x-%04x-%04x-%012x", id * 2654435761u, id & 0xffff, 0x4a1c, id);
    snprintf(values[8], 48, "user%u", id % 50);
    snprintf(values[9], 48, "DIGEST");
    for (int i = 10; i < 30; ++i) snprintf(values[i], 48, "%u", (id * 31 + i * 977) % 65536);
    snprintf(values[12], 48, "G.711A");
    snprintf(values[15], 48, "G.711A");
    snprintf(values[22], 48, "10.%u.%u.%u", id % 256, (id / 7) % 256, 1 + id % 250);
    snprintf(values[24], 48, "192.168.%u.%u", id % 256, 2 + id % 200);
    snprintf(values[28], 48, "G.729");
    file->AddSection(true);
    for (int i = 0; i < 30; ++i) file->AddSectionEntry(kKeys[i], values[i]);
}

MultiSectionConfigFile* NewDatabase() {
    return new MultiSectionConfigFile(nullptr, "{\n", "}\n", "=", "#", nullptr);
}

// A fresh folder for the benchmark's files, under $TMPDIR (scripts/bench points it into build/),
// else /tmp.
std::string Folder() {
    static std::string folder = [] {
        const char* parent = getenv("TMPDIR");
        std::string pattern =
            std::string(parent != nullptr ? parent : "/tmp") + "/cdr-bench-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) abort();
        return pattern;
    }();
    return folder;
}

// A saved database of 10,000 records; built once.
const std::string& BigDatabase() {
    static const std::string path = [] {
        const std::string file = Folder() + "/big_db";
        MultiSectionFile database(file.c_str(), true, false, false, nullptr, "{\n", "}\n", "=", "#",
                                  nullptr);
        for (unsigned id = 0; id < 10000; ++id) AddRecord(&database, id);
        database.Save(true, nullptr);
        return file;
    }();
    return path;
}

std::string ReadAll(const std::string& path) {
    std::string text;
    FILE* file = fopen(path.c_str(), "rb");
    char chunk[65536];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, got);
    fclose(file);
    return text;
}

void BM_AddFrontDropOldest(benchmark::State& state) {
    std::unique_ptr<MultiSectionConfigFile> database(NewDatabase());
    const unsigned size = static_cast<unsigned>(state.range(0));
    for (unsigned id = 0; id < size; ++id) AddRecord(database.get(), id);
    unsigned id = size;
    for (auto _ : state) {
        AddRecord(database.get(), id++);
        database->GotoLastSection();
        database->DeleteSection();
    }
}
BENCHMARK(BM_AddFrontDropOldest)->Arg(10)->Arg(1000)->Arg(10000);

void BM_Save(benchmark::State& state) {
    MultiSectionFile database(BigDatabase().c_str(), true, false, false, nullptr, "{\n", "}\n", "=",
                              "#", nullptr);
    for (auto _ : state) database.Save(true, nullptr);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(database.Text().size()));
}
BENCHMARK(BM_Save)->Unit(benchmark::kMillisecond);

void BM_WriteAndSyncSameBytes(benchmark::State& state) {
    const std::string text = ReadAll(BigDatabase());
    const std::string path = Folder() + "/plain";
    for (auto _ : state) {
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) abort();
        fsync(fd);
        close(fd);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_WriteAndSyncSameBytes)->Unit(benchmark::kMillisecond);

// What any crash-safe whole-file replace costs: a temporary file written and synced, renamed over
// the file, the folder synced.
void BM_ReplaceSameBytesSafely(benchmark::State& state) {
    const std::string text = ReadAll(BigDatabase());
    const std::string path = Folder() + "/replaced", temporary = path + ".tmp";
    for (auto _ : state) {
        int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) abort();
        fsync(fd);
        close(fd);
        if (rename(temporary.c_str(), path.c_str()) != 0) abort();
        int folder = open(Folder().c_str(), O_RDONLY | O_DIRECTORY);
        fsync(folder);
        close(folder);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_ReplaceSameBytesSafely)->Unit(benchmark::kMillisecond);

void BM_Load(benchmark::State& state) {
    for (auto _ : state) {
        MultiSectionFile database(BigDatabase().c_str(), true, false, false, nullptr, "{\n", "}\n",
                                  "=", "#", nullptr);
        benchmark::DoNotOptimize(database.GetSectionCount());
    }
}
BENCHMARK(BM_Load)->Unit(benchmark::kMillisecond);

// The parsing part of a load, from text already in memory.
void BM_ParseInMemory(benchmark::State& state) {
    const std::string text = ReadAll(BigDatabase());
    std::unique_ptr<MultiSectionConfigFile> database(NewDatabase());
    for (auto _ : state) database->Parse(text.data(), text.size(), "text");
}
BENCHMARK(BM_ParseInMemory)->Unit(benchmark::kMillisecond);

void BM_ReadSameBytes(benchmark::State& state) {
    struct stat st;
    stat(BigDatabase().c_str(), &st);
    for (auto _ : state) {
        std::string text(static_cast<size_t>(st.st_size), '\0');
        int fd = open(BigDatabase().c_str(), O_RDONLY);
        if (read(fd, &text[0], text.size()) != static_cast<ssize_t>(text.size())) abort();
        close(fd);
        benchmark::DoNotOptimize(text.data());
    }
}
BENCHMARK(BM_ReadSameBytes)->Unit(benchmark::kMillisecond);

// Keeps every run's time per iteration, by name, for the closing summary.
class SummaryReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) mTimes[run.benchmark_name()] = run.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
    // The median over repetitions when there were several, else the one run's time.
    double Time(const std::string& name) const {
        auto found = mTimes.find(name + "_median");
        if (found == mTimes.end()) found = mTimes.find(name);
        return found != mTimes.end() ? found->second : 0;
    }

  private:
    std::map<std::string, double> mTimes;
};

void PrintMemoryPerRecord() {
    struct stat st;
    stat(BigDatabase().c_str(), &st);
    const size_t before = mallinfo2().uordblks;
    MultiSectionFile* database = new MultiSectionFile(BigDatabase().c_str(), true, false, false,
                                                      nullptr, "{\n", "}\n", "=", "#", nullptr);
    const size_t loaded = mallinfo2().uordblks - before;
    delete database;
    const size_t beforeBuilt = mallinfo2().uordblks;
    MultiSectionConfigFile* built = NewDatabase();
    for (unsigned id = 0; id < 10000; ++id) AddRecord(built, id);
    const size_t grown = mallinfo2().uordblks - beforeBuilt;
    delete built;
    const double disk = static_cast<double>(st.st_size) / 10000;
    printf(
        "memory per record: loaded %.0f B, built %.0f B, on disk %.0f B: %.2fx / %.2fx"
        " (target <= 1.1x)\n",
        loaded / 1e4, grown / 1e4, disk, loaded / 1e4 / disk, grown / 1e4 / disk);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto ratio = [&reporter](const char* a, const char* b) {
        const double under = reporter.Time(b);
        return under > 0 ? reporter.Time(a) / under : 0.0;
    };
    printf("\nper record at 10,000 vs 10 sections: %.2fx (target <= 1.5x); at 1,000: %.2fx\n",
           ratio("BM_AddFrontDropOldest/10000", "BM_AddFrontDropOldest/10"),
           ratio("BM_AddFrontDropOldest/1000", "BM_AddFrontDropOldest/10"));
    printf(
        "save vs crash-safe replace of the same bytes: %.2fx (target <= 1.2x); vs write+fsync: "
        "%.2fx\n",
        ratio("BM_Save", "BM_ReplaceSameBytesSafely"),
        ratio("BM_Save", "BM_WriteAndSyncSameBytes"));
    printf("load vs plain read of the same bytes: %.2fx (target <= 4x); parsing alone: %.2fx\n",
           ratio("BM_Load", "BM_ReadSameBytes"), ratio("BM_ParseInMemory", "BM_ReadSameBytes"));
    PrintMemoryPerRecord();
    benchmark::Shutdown();
    return 0;
}
