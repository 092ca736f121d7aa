// The recorder in tests: the real CDR manager in a sandbox (RecorderTest), a stand-in on the
// recorder's queues that runs the real dispatch loop (FakeRecorder), and cdrctl run in-process.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/cdr_common_messenger.h"
#include "core/cdr_manager.h"
#include "support/test_env.h"

// A CDR manager in a sandbox: a private configuration root at "/conf/" (VELK_PATH), the device's
// absolute paths under a private folder, and helpers to write settings and read the files back.

// Exposes the manager's state to the tests.
class TestManager : public CDRManager {
  public:
    using CDRManager::mAutoDownload;
    using CDRManager::mDownloadCnt;
    using CDRManager::mpDownStatFile;
    using CDRManager::mpFiles;
    using CDRManager::mSettings;
};

using Entries = std::vector<std::pair<std::string, std::string>>;

class RecorderTest : public ::testing::Test {
  protected:
    RecorderTest();
    ~RecorderTest() override;

    // Writes `text` to the file `name` under the configuration root.
    void WriteConfig(const std::string& name, const std::string& text);
    // The text of the program's absolute `path`; empty when absent.
    std::string ReadFile(const std::string& path);
    bool Exists(const std::string& path);

    // Builds the manager (which runs its start-up).
    TestManager& Start();
    // The records of the database or log file at `path`, newest first, as stored on disk.
    std::vector<Entries> Records(const std::string& path, const char* sectionWord = nullptr);
    // The records the manager holds in memory for database `index` (0 stated, 1 missed, 2 failed).
    std::vector<Entries> HeldRecords(int index);
    // Counts the non-overlapping occurrences of `text` in the trace log.
    int TraceCount(const std::string& text);

    static std::string StatedPath() { return "/conf/telephony/CDR_db"; }
    static std::string MissedPath() { return "/conf/telephony/missed_calls_db"; }
    static std::string FailedPath() { return "/conf/telephony/unsuccess_calls_db"; }
    static std::string DownloadLogPath() { return "/mnt/bbram/calldata/down_stat.log"; }

    SandboxEnv mEnv;
    std::unique_ptr<TestManager> mpManager;
};

// The value of the first entry `key` of `entries`, or "<absent>".
std::string Value(const Entries& entries, const std::string& key);

// A plain report with the given start time and called number.
CallDetailReport MakeReport(long startTime, const std::string& called);

// A sandbox that also collects the platform layer's warning lines while it lives.
class WarningSandbox {
  public:
    WarningSandbox();
    ~WarningSandbox();
    // The warning lines since the last call, oldest first.
    std::vector<std::string> TakeWarnings();

    SandboxEnv env;
};

// Stands in for the recorder on its two queues, created in a sandbox as the recorder creates
// them: the real messenger and dispatch loop, with handlers that note each call ("add 4 stats",
// "clear 5", "cm connected", ...) and answer the requests the recorder answers.
class FakeRecorder : public WarningSandbox, public CDRCommonMessenger {
  public:
    FakeRecorder();
    // Removes the reply queue a client created.
    ~FakeRecorder() override;

    // Runs the dispatch loop until `count` messages have reached their handlers.
    void Serve(int count);
    // Serves every message waiting on either queue without waiting; returns how many it took.
    int ServeWaiting();
    // Puts `size` raw bytes on the existing queue the program calls `name` ("/ping-15").
    void SendRaw(const std::string& name, const void* data, size_t size);

    int OnAddCDR(int type, const CallDetailReport& report,
                 const CallStatistics* statistics) override;
    void OnCDRPartyStateChanged(bool on) override { Note(on ? "cm connected" : "cm disconnected"); }
    int OnCgiPartyStateChanged(bool on) override {
        return Note(on ? "cgi connected" : "cgi disconnected");
    }
    int OnClear(int mask) override { return Note("clear " + std::to_string(mask), Clear(mask)); }
    int OnFlush(int mask) override { return Note("flush " + std::to_string(mask), Flush(mask)); }
    int OnUpdateCDRSettings() override { return Note("reload settings", UpdateCDRSettings()); }
    int OnUpdateCDRDownloadSettings() override { return Note("reload download"); }
    int OnDownloadNow() override { return Note("download now"); }

    std::vector<std::string> events;
    CallDetailReport lastReport;
    CallStatistics lastStatistics;
    int answerSent = -1;  // what the last handler's answer returned; -1: none sent

  private:
    int Note(const std::string& event, int sent = -1);
    int mToServe = 0;
};

// What cdrctl did when run in this process.
struct CdrctlOutcome {
    int status;
    std::string out, err;
};

// Runs cdrctl with `args` (the words after the program name), its output and errors captured.
CdrctlOutcome RunCdrctlCaptured(const std::vector<std::string>& args);
