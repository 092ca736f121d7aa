#include "support/recorder_fixture.h"

#include <stdlib.h>
#include <sys/stat.h>

#include "platform/util/file_util.h"

namespace {

std::vector<std::string> gAlarms;

void CollectAlarm(int priority, const char* text) {
    gAlarms.push_back(std::to_string(priority) + " " + text);
}

}  // namespace

RecorderTest::RecorderTest() {
    setenv("VELK_PATH", "/conf/", 1);
    Alarms().clear();
    CDRManager::mpAlarmSink = CollectAlarm;
}

RecorderTest::~RecorderTest() {
    mpManager.reset();
    unsetenv("VELK_PATH");
}

std::vector<std::string>& RecorderTest::Alarms() {
    return gAlarms;
}

void RecorderTest::WriteConfig(const std::string& name, const std::string& text) {
    WriteFile("/conf/" + name, text);
}

void RecorderTest::WriteFile(const std::string& path, const std::string& text) {
    WriteFileAtomically(path, text);
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

int RecorderTest::TraceCount(const std::string& text) {
    const std::string trace = Trace();
    int count = 0;
    for (size_t at = trace.find(text); at != std::string::npos; at = trace.find(text, at + 1))
        ++count;
    return count;
}

std::string Value(const Entries& entries, const std::string& key) {
    for (const auto& entry : entries) {
        if (entry.first == key) return entry.second;
    }
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
