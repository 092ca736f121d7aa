#include "platform/config/general_paths.h"

#include <exception>
#include <memory>

#include "platform/config/config_file.h"
#include "platform/config/config_text.h"
#include "platform/config/configuration_root.h"
#include "platform/util/diag.h"
#include "platform/util/file_util.h"
#include "platform/util/shared_instance.h"

namespace {

SharedInstance<GeneralPaths>& Shared() {
    static SharedInstance<GeneralPaths> shared;
    return shared;
}

const char* const kKeys[] = {"cdr_db_stated", "cdr_db_missed", "cdr_db_failed"};

// The index in kKeys of the key that the setting line [begin, end) sets, or -1.
int KeyOfLine(const char* begin, const char* end) {
    if (begin == end || *begin == '#') return -1;
    const char* keyEnd = Configuration::FindText(begin, end, "=");
    if (keyEnd == nullptr) return -1;
    Configuration::TrimBlanks(&begin, &keyEnd);
    for (int i = 0; i < 3; ++i)
        if (Configuration::Equals(begin, keyEnd, kKeys[i])) return i;
    return -1;
}

// The names of the last reading, which an unreadable file leaves in force. Only used while the
// shared instance is made, under its lock.
std::string gInForce[3];

// Writes `key`=`value`; a "#" in the value is escaped, so that it cannot start a comment.
void AppendSetting(std::string* text, const char* key, const std::string& value) {
    text->append(key).push_back('=');
    Configuration::AppendEscaped(text, value.c_str(), '#', '\0');
    text->push_back('\n');
}

}  // namespace

GeneralPaths* GeneralPaths::GetInstance(bool load) {
    return Shared().Acquire(load, "general paths", [] {
        std::unique_ptr<GeneralPaths> paths(
            new GeneralPaths(ConfigurationRoot() + "general-paths.conf"));
        try {
            paths->Load();
            for (int i = 0; i < 3; ++i) gInForce[i] = paths->DatabaseName(i);
        } catch (const FileError& e) {
            Warn("%s; the database names in force are kept.\n", e.what());
            for (int i = 0; i < 3; ++i) paths->DatabaseName(i) = gInForce[i];
        }
        return paths.release();
    });
}

void GeneralPaths::CloseInstance() {
    Shared().Release();
}

std::unique_ptr<GeneralPaths> GeneralPaths::Read(const std::string& root) {
    std::unique_ptr<GeneralPaths> paths(new GeneralPaths(root + "general-paths.conf"));
    paths->Load();
    return paths;
}

GeneralPaths::GeneralPaths(const std::string& path) : mPath(path) {}

GeneralPaths::~GeneralPaths() = default;

std::string& GeneralPaths::DatabaseName(int index) {
    std::string* const names[] = {&mCDRStatedDb, &mCDRMissedDb, &mCDRFailedDb};
    return *names[index];
}

const std::string& GeneralPaths::DatabaseName(int index) const {
    return const_cast<GeneralPaths*>(this)->DatabaseName(index);
}

void GeneralPaths::Load() {
    const Configuration::ConfigFile file(mPath.c_str(), true, false, false, "=", "#", nullptr);
    for (int i = 0; i < 3; ++i) {
        const std::string* value = file.Find(kKeys[i]);
        if (value != nullptr) DatabaseName(i) = *value;
    }
}

int GeneralPaths::Store() {
    try {
        Write();
        mLastStoreError.clear();
        return 1;
    } catch (const std::exception& e) {
        if (mLastStoreError != e.what())
            Warn("general paths: the database names are not saved: %s.\n", e.what());
        mLastStoreError = e.what();
        return 0;
    }
}

void GeneralPaths::Write() {
    bool written[3] = {false, false, false};
    std::string old, text;
    ReadWholeFile(mPath, &old);
    text.reserve(old.size() + 256);
    Configuration::LineReader lines(old.data(), old.size());
    const char *begin, *end;
    while (lines.Next(&begin, &end)) {
        const int key = KeyOfLine(begin, end);
        if (key >= 0 && !written[key]) {
            AppendSetting(&text, kKeys[key], DatabaseName(key));
            written[key] = true;
        } else {
            text.append(lines.RawBegin(), lines.RawEnd());
        }
    }
    if (!text.empty() && text.back() != '\n') text.push_back('\n');
    for (int i = 0; i < 3; ++i)
        if (!written[i] && !DatabaseName(i).empty())
            AppendSetting(&text, kKeys[i], DatabaseName(i));
    WriteFileAtomically(mPath, text);
}
