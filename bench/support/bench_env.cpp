#include "bench/support/bench_env.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <fstream>

#include "platform/util/file_util.h"

RootEnv::RootEnv(const std::string& root) : ForwardingEnv(Env::Posix()), mRoot(root) {
    mpPrevious = Env::SetCurrent(this);
}

RootEnv::~RootEnv() {
    Env::SetCurrent(mpPrevious);
}

std::string RootEnv::Real(const char* path) const {
    return path[0] == '/' ? mRoot + path : std::string(path);
}

int RootEnv::Open(const char* path, int flags, int mode) {
    return target()->Open(Real(path).c_str(), flags, mode);
}
int RootEnv::Rename(const char* from, const char* to) {
    return target()->Rename(Real(from).c_str(), Real(to).c_str());
}
int RootEnv::Unlink(const char* path) {
    return target()->Unlink(Real(path).c_str());
}
int RootEnv::MakeDir(const char* path, int mode) {
    return target()->MakeDir(Real(path).c_str(), mode);
}
int RootEnv::Lstat(const char* path, struct stat* out) {
    return target()->Lstat(Real(path).c_str(), out);
}
std::string RootEnv::QueueName(const std::string& name) {
    return name + "-bench" + std::to_string(getpid());
}

namespace {

const int kTypes[3] = {1, 2, 4};

void FillStream(MediaStreamStatistics* s, unsigned i, unsigned salt) {
    s->localAddress = 0x0A000000u + (i * 7 + salt) % 250 + 1;
    s->remoteAddress = 0xC0A80000u + (i * 13 + salt) % 65000 + 1;
    s->localPort = static_cast<uint16_t>(4000 + (i * 2 + salt) % 2000);
    s->remotePort = static_cast<uint16_t>(10000 + (i * 6 + salt) % 20000);
    s->txPackets = 500 + (i * 977 + salt) % 90000;
    s->txCodec = static_cast<uint16_t>((i + salt) % 3);
    s->txPacketSize = 160;
    s->rxPackets = s->txPackets - (i % 17);
    s->rxCodec = s->txCodec;
    s->rxPacketSize = 160;
    s->rxLost = static_cast<uint16_t>(i % 17);
    s->rxJitter = (i * 3 + salt) % 40;
    s->rxMaxDelay = 20 + (i * 11) % 180;
    s->rxDelayIncrease = i % 5 == 0 ? 65535 : static_cast<uint16_t>(i % 9);
    s->rxDelayDecrease = static_cast<uint16_t>(i % 7);
    s->srtp = i % 3 == 0;
}

}  // namespace

std::vector<BenchReport> MakeReports(unsigned count) {
    std::vector<BenchReport> reports(count);
    char text[64];
    for (unsigned i = 0; i < count; ++i) {
        BenchReport& r = reports[i];
        r.type = kTypes[i % 3];
        CallDetailReport& c = r.report;
        c.startTime = 1700000000L + static_cast<long>(i) * 37;
        c.duration = r.type == 1 ? 5 + (i * 53) % 3600 : 0;
        snprintf(text, sizeof text, "sip:%u@voice.example.net", 4000 + (i * 31) % 1000);
        c.called = text;
        c.calledType = kCallTypeSip;
        snprintf(text, sizeof text, "+4930%07u", (i * 7919) % 10000000);
        c.caller = text;
        c.callerType = i % 4 == 0 ? kCallTypeFxo : kCallTypeSip;
        snprintf(text, sizeof text, "%08x-%04x-4a1c-9e2b-%012x", i * 2654435761u, i & 0xffff, i);
        c.guid = text;
        if (i % 5 == 0) c.cr = "busy";
        if (i % 2 == 0) {
            snprintf(text, sizeof text, "user%u", i % 50);
            c.authUserName = text;
            c.authType = kCDRAuthDigest;
        }
        if (i % 11 == 0) c.forwarder = "sip:3000@voice.example.net";
        c.hop = i % 3;
        c.clirCaller = i % 13 == 0;
        r.hasStatistics = r.type == 1;
        if (r.hasStatistics) {
            FillStream(&r.statistics.streams[0], i, 0);
            FillStream(&r.statistics.streams[1], i, 1);
        }
    }
    return reports;
}

double MonotonicSeconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9;
}

uint64_t ResidentBytes() {
    unsigned long size = 0, resident = 0;
    FILE* file = fopen("/proc/self/statm", "r");
    if (file == nullptr || fscanf(file, "%lu %lu", &size, &resident) != 2) resident = 0;
    if (file != nullptr) fclose(file);
    return static_cast<uint64_t>(resident) * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

uint64_t BytesWritten() {
    std::ifstream io("/proc/self/io");
    std::string key;
    uint64_t value = 0;
    while (io >> key >> value) {
        if (key == "wchar:") return value;
    }
    return 0;
}

bool StorageBytesWritten(int pid, uint64_t* bytes) {
    std::ifstream io(pid == 0 ? std::string("/proc/self/io")
                              : "/proc/" + std::to_string(pid) + "/io");
    std::string key;
    uint64_t value = 0;
    while (io >> key >> value) {
        if (key != "write_bytes:") continue;
        *bytes = value;
        return true;
    }
    return false;
}

uint64_t FileSize(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

void WriteTextFile(const std::string& path, const std::string& text) {
    try {
        MakeDirs(DirName(path));
        WriteFileAtomically(path, text, 0644);
    } catch (const std::exception& e) {
        fprintf(stderr, "%s\n", e.what());
        exit(2);
    }
}

void WriteRecorderSettings(unsigned records, unsigned save, unsigned journalSyncReports) {
    std::string text = "cdr_enabled=1\n";
    for (const char* name : {"stated", "missed", "failed"}) {
        text += std::string("cdr_max_") + name + "=" + std::to_string(records) + "\n";
        text += std::string("cdr_save_") + name + "=" + std::to_string(save) + "\n";
    }
    if (journalSyncReports != 0)
        text += "cdr_journal_sync_reports=" + std::to_string(journalSyncReports) + "\n";
    WriteTextFile("/conf/general-settings.conf", text);
}
