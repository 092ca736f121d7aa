// The recorder's store and its SQLite peer doing the same job in process, for scripts/bench:
//   fill    --store S --root DIR --records R               databases of R records per type
//   open    --store S --root DIR --records R               time and resident memory to open them
//   handler --store S --root DIR --records R --reports N --save P
//           R records per type first (not measured), then N reports at save period P: reports
//           per second, bytes handed to write(2) per report and bytes sent towards storage per
//           report (the recorder's trace log included, as it lies under DIR; "unmeasured" where
//           the kernel does not say). Under callgrind, collect only
//           RunReports.
//           --journal-sync K (recorder only): the measured reports run with the journal synced
//           at least every K reports; with 1, each report is on storage when its handler returns.
// S is "recorder" (CDRManager::OnAddCDR on a configuration root under DIR) or "sqlite". Results
// are printed as "name=value" lines.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "bench/support/bench_env.h"
#include "bench/support/sqlite_peer.h"
#include "core/cdr_manager.h"
#include "state/record_files.h"

namespace {

const unsigned kNeverSave = 4294967295u;

struct Options {
    std::string command, store = "recorder", root;
    unsigned records = 1000, reports = 1000, save = 10, journalSync = 0;
};

[[noreturn]] void Usage() {
    fprintf(stderr,
            "usage: store_cost_tool fill|open|handler --store recorder|sqlite --root DIR "
            "[--records R] [--reports N] [--save P] [--journal-sync K]\n");
    exit(2);
}

Options ParseOptions(int argc, char** argv) {
    Options options;
    if (argc < 2) Usage();
    options.command = argv[1];
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string name = argv[i], value = argv[i + 1];
        if (name == "--store")
            options.store = value;
        else if (name == "--root")
            options.root = value;
        else if (name == "--records")
            options.records = static_cast<unsigned>(strtoul(value.c_str(), nullptr, 10));
        else if (name == "--reports")
            options.reports = static_cast<unsigned>(strtoul(value.c_str(), nullptr, 10));
        else if (name == "--save")
            options.save = static_cast<unsigned>(strtoul(value.c_str(), nullptr, 10));
        else if (name == "--journal-sync")
            options.journalSync = static_cast<unsigned>(strtoul(value.c_str(), nullptr, 10));
        else
            Usage();
    }
    if (options.root.empty() || (options.store != "recorder" && options.store != "sqlite")) Usage();
    return options;
}

// The store under test behind one call.
class Store {
  public:
    virtual ~Store() = default;
    virtual int Add(const BenchReport& r) = 0;
};

class RecorderStore : public Store {
  public:
    RecorderStore() : mManager(new CDRManager) {}
    int Add(const BenchReport& r) override {
        return mManager->OnAddCDR(r.type, r.report, r.hasStatistics ? &r.statistics : nullptr);
    }
    CDRManager& manager() { return *mManager; }

  private:
    std::unique_ptr<CDRManager> mManager;
};

class SqliteStore : public Store {
  public:
    SqliteStore(const std::string& path, unsigned records, unsigned save)
        : mPeer(path, records, save) {}
    int Add(const BenchReport& r) override {
        return mPeer.AddCDR(r.type, r.report, r.hasStatistics ? &r.statistics : nullptr);
    }
    SqlitePeer& peer() { return mPeer; }

  private:
    SqlitePeer mPeer;
};

std::string PeerPath(const Options& options) {
    return options.root + "/peer.db";
}

// Hands `count` reports to `store`, taken round from `reports`; returns how many it stored.
unsigned Feed(Store* store, const std::vector<BenchReport>& reports, unsigned first,
              unsigned count) {
    unsigned stored = 0;
    for (unsigned i = 0; i < count; ++i)
        stored += store->Add(reports[(first + i) % reports.size()]);
    return stored;
}

// The measured reports. Kept out of line, and used for nothing else, so that callgrind can
// collect exactly this (--toggle-collect=*RunReports*).
__attribute__((noinline)) unsigned RunReports(Store* store, const std::vector<BenchReport>& reports,
                                              unsigned first, unsigned count) {
    return Feed(store, reports, first, count);
}

void Prefill(Store* store, const std::vector<BenchReport>& reports, unsigned records) {
    if (Feed(store, reports, 0, 3 * records) != 3 * records) {
        fprintf(stderr, "store_cost_tool: a report was refused while filling\n");
        exit(1);
    }
}

uint64_t DiskBytes(const Options& options, const RootEnv& env) {
    if (options.store == "sqlite") return FileSize(PeerPath(options));
    uint64_t bytes = 0;
    for (const char* name : kDefaultDatabaseNames)
        bytes += FileSize(env.Real((std::string("/conf/telephony/") + name).c_str()));
    return bytes;
}

void Fill(const Options& options, const std::vector<BenchReport>& reports) {
    if (options.store == "sqlite") {
        SqliteStore store(PeerPath(options), options.records, kNeverSave);
        Prefill(&store, reports, options.records);
        return;
    }
    // Each database is saved once, when its last record arrives; then the recorder goes idle,
    // which compacts the journal those saves made obsolete, as on a device.
    WriteRecorderSettings(options.records, options.records);
    RecorderStore store;
    Prefill(&store, reports, options.records);
    store.manager().CatchUpWhileIdle();
}

void Open(const Options& options, const RootEnv& env) {
    const uint64_t residentBefore = ResidentBytes();
    const double start = MonotonicSeconds();
    std::unique_ptr<Store> store;
    if (options.store == "sqlite")
        store.reset(new SqliteStore(PeerPath(options), options.records, options.save));
    else
        store.reset(new RecorderStore);
    const double seconds = MonotonicSeconds() - start;
    const double records = 3.0 * options.records;
    printf("open_seconds=%.6f\n", seconds);
    printf("resident_bytes=%llu\n",
           static_cast<unsigned long long>(ResidentBytes() - residentBefore));
    printf("resident_per_record=%.1f\n", (ResidentBytes() - residentBefore) / records);
    printf("disk_per_record=%.1f\n", DiskBytes(options, env) / records);
}

void Handler(const Options& options, const RootEnv& env, const std::vector<BenchReport>& reports) {
    std::unique_ptr<Store> store;
    const std::string traceLog = env.Real("/tmp/logs/cdr.log");
    if (options.store == "sqlite") {
        {
            SqliteStore filler(PeerPath(options), options.records, kNeverSave);
            Prefill(&filler, reports, options.records);
        }
        store.reset(new SqliteStore(PeerPath(options), options.records, options.save));
    } else {
        WriteRecorderSettings(options.records, kNeverSave);
        RecorderStore* recorder = new RecorderStore;
        store.reset(recorder);
        Prefill(recorder, reports, options.records);
        // The measured reports run at the save period asked for, counted from a fresh save and
        // the idle work after it, which compacts the journal the save made obsolete.
        WriteRecorderSettings(options.records, options.save, options.journalSync);
        recorder->manager().OnUpdateCDRSettings();
        recorder->manager().OnFlush(7);
        recorder->manager().CatchUpWhileIdle();
    }
    const uint64_t writtenBefore = BytesWritten(), traceBefore = FileSize(traceLog);
    uint64_t storageBefore = 0, storageAfter = 0;
    const bool storageKnown = StorageBytesWritten(0, &storageBefore);
    const double start = MonotonicSeconds();
    const unsigned stored = RunReports(store.get(), reports, 3 * options.records, options.reports);
    const double seconds = MonotonicSeconds() - start;
    const uint64_t written = BytesWritten() - writtenBefore;
    StorageBytesWritten(0, &storageAfter);
    const uint64_t traced = FileSize(traceLog) - traceBefore;
    if (stored != options.reports) {
        fprintf(stderr, "store_cost_tool: %u of %u reports stored\n", stored, options.reports);
        exit(1);
    }
    printf("reports_per_second=%.0f\n", options.reports / seconds);
    printf("written_per_report=%.1f\n", static_cast<double>(written - traced) / options.reports);
    printf("trace_per_report=%.1f\n", static_cast<double>(traced) / options.reports);
    if (storageKnown)
        printf("storage_per_report=%.1f\n",
               static_cast<double>(storageAfter - storageBefore) / options.reports);
    else
        printf("storage_per_report=unmeasured\n");
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = ParseOptions(argc, argv);
    RootEnv env(options.root);
    setenv("VELK_PATH", "/conf/", 1);
    // Enough distinct reports that no two neighbouring records are alike; a multiple of three, so
    // every record type gets the same share.
    const std::vector<BenchReport> reports = MakeReports(999);
    if (options.command == "fill")
        Fill(options, reports);
    else if (options.command == "open")
        Open(options, env);
    else if (options.command == "handler")
        Handler(options, env, reports);
    else
        Usage();
    return 0;
}
