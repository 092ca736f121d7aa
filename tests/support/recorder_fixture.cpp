#include "support/recorder_fixture.h"

#include <fcntl.h>
#include <mqueue.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <mutex>
#include <stdexcept>

#include "platform/messaging/message_queue.h"
#include "platform/util/diag.h"
#include "platform/util/file_util.h"
#include "tools/cdrctl.h"

namespace {

std::mutex gWarningsMutex;
std::vector<std::string> gWarnings;

void CollectWarning(const char* line) {
    std::lock_guard<std::mutex> lock(gWarningsMutex);
    gWarnings.push_back(line);
}

std::string ReadBack(FILE* file) {
    std::string text;
    rewind(file);
    for (int c; (c = fgetc(file)) != EOF;) text += static_cast<char>(c);
    fclose(file);
    return text;
}

// The records of `file`, newest first. Moves its current section.
std::vector<Entries> RecordsOf(Configuration::MultiSectionFile& file) {
    std::vector<Entries> records;
    file.Restart();
    while (file.GotoNextSection() != 0) {
        Entries entries;
        std::string key, value;
        for (unsigned i = 0; file.GetEntry(i, &key, &value); ++i) entries.emplace_back(key, value);
        records.push_back(entries);
    }
    return records;
}

}  // namespace

RecorderTest::RecorderTest() {
    setenv("VELK_PATH", "/conf/", 1);
    CDRManager::mpAlarmSink = [](int, const char*) {};  // alarms never reach the system log
}

RecorderTest::~RecorderTest() {
    mpManager.reset();
    unsetenv("VELK_PATH");
}

void RecorderTest::WriteConfig(const std::string& name, const std::string& text) {
    WriteFileAtomically("/conf/" + name, text);
}

std::string RecorderTest::ReadFile(const std::string& path) {
    std::string text;
    ReadWholeFile(path, &text);
    return text;
}

bool RecorderTest::Exists(const std::string& path) {
    struct stat st;
    return stat(mEnv.Real(path).c_str(), &st) == 0;
}

TestManager& RecorderTest::Start() {
    mpManager.reset();  // one manager at a time: the trace logger is shared
    mpManager.reset(new TestManager);
    return *mpManager;
}

std::vector<Entries> RecorderTest::Records(const std::string& path, const char* sectionWord) {
    Configuration::MultiSectionFile file(path.c_str(), true, false, false, sectionWord, "{\n",
                                         "}\n", "=", "#", nullptr);
    return RecordsOf(file);
}

std::vector<Entries> RecorderTest::HeldRecords(int index) {
    return RecordsOf(*mpManager->mpFiles->mpFile[index]);
}

int RecorderTest::TraceCount(const std::string& text) {
    const std::string trace = ReadFile("/tmp/logs/cdr.log");
    int count = 0;
    for (size_t at = trace.find(text); at != std::string::npos; at = trace.find(text, at + 1))
        ++count;
    return count;
}

std::string Value(const Entries& entries, const std::string& key) {
    for (const auto& entry : entries)
        if (entry.first == key) return entry.second;
    return "<absent>";
}

CallDetailReport MakeReport(long startTime, const std::string& called) {
    CallDetailReport report{};
    report.startTime = startTime;
    report.duration = 30;
    report.called = called;
    report.caller = "100";
    return report;
}

WarningSandbox::WarningSandbox() {
    SetWarningSink(CollectWarning);
    TakeWarnings();
}

WarningSandbox::~WarningSandbox() {
    SetWarningSink(nullptr);
}

std::vector<std::string> WarningSandbox::TakeWarnings() {
    std::lock_guard<std::mutex> lock(gWarningsMutex);
    std::vector<std::string> taken;
    taken.swap(gWarnings);
    return taken;
}

FakeRecorder::FakeRecorder() {
    SelectQueues();
}

FakeRecorder::~FakeRecorder() {
    std::string replies = ReplyQueueNameOf(QueueNameOf(kWebSideQueueNumber, kRecorderQueuePath));
    mq_unlink(Env::Current()->QueueName(replies).c_str());
}

void FakeRecorder::Serve(int count) {
    mToServe = count;
    WaitForMessagingEvent();
}

int FakeRecorder::ServeWaiting() {
    return CDRMessenger::ProcessMessageFromQueue(100) +
           CDRUpdateMessenger::ProcessMessageFromQueue(100);
}

void FakeRecorder::SendRaw(const std::string& name, const void* data, size_t size) {
    MessageQueue queue;
    if (queue.Open(name, O_WRONLY) != QueueStatus::kOk ||
        queue.Send(data, size, 0) != QueueStatus::kOk)
        throw std::runtime_error(queue.error());
}

int FakeRecorder::OnAddCDR(int type, const CallDetailReport& report,
                           const CallStatistics* statistics) {
    lastReport = report;
    if (statistics != nullptr) lastStatistics = *statistics;
    Note("add " + std::to_string(type) + (statistics ? " stats" : ""));
    return 1;
}

int FakeRecorder::Note(const std::string& event, int sent) {
    events.push_back(event);
    answerSent = sent;
    if (--mToServe <= 0) mIsRunning = 0;
    return 1;
}

CdrctlOutcome RunCdrctlCaptured(const std::vector<std::string>& args) {
    FILE* out = tmpfile();
    FILE* err = tmpfile();
    const int status = RunCdrctl(args, out, err);
    return {status, ReadBack(out), ReadBack(err)};
}
