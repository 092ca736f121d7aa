#include "platform/config/config_file.h"

#include <string.h>

#include <algorithm>

#include "platform/config/config_text.h"
#include "platform/config/parse_error.h"
#include "platform/util/file_util.h"

namespace Configuration {

namespace {

std::string OrEmpty(const char* text) {
    return text != nullptr ? text : "";
}

// Drops one pair of matching quotes around [*begin, *end).
void StripQuotes(const char** begin, const char** end) {
    if (*end - *begin >= 2 && (**begin == '"' || **begin == '\'') && (*end)[-1] == **begin) {
        ++*begin;
        --*end;
    }
}

}  // namespace

ConfigFile::ConfigFile(const char* path, bool unescape, bool stripQuotes, bool lastWins,
                       const char* separator, const char* comment, const char* endLine)
    : mUnescape(unescape),
      mStripQuotes(stripQuotes),
      mLastWins(lastWins),
      mSeparator(separator != nullptr && *separator != '\0' ? separator : "="),
      mComment(OrEmpty(comment)),
      mEndLine(OrEmpty(endLine)) {
    std::string text;
    if (path != nullptr && ReadWholeFile(path, &text)) Parse(text.data(), text.size(), path);
}

void ConfigFile::Parse(const char* text, size_t size, const std::string& origin) {
    mEntries.clear();
    LineReader lines(text, size);
    const char *begin, *end;
    while (lines.Next(&begin, &end)) {
        if (!mEndLine.empty() && Equals(begin, end, mEndLine)) return;
        if (StartsWith(begin, end, mComment)) continue;
        const char* separator = FindText(begin, end, mSeparator);
        if (separator == nullptr) continue;
        const char* keyEnd = separator;
        const char* valueBegin = separator + mSeparator.size();
        TrimBlanks(&begin, &keyEnd);
        TrimBlanks(&valueBegin, &end);
        if (mStripQuotes) StripQuotes(&valueBegin, &end);
        std::string key, value;
        if (!mUnescape) {
            key.assign(begin, keyEnd);
            value.assign(valueBegin, end);
        } else if (!AppendUnescaped(&key, begin, keyEnd) ||
                   !AppendUnescaped(&value, valueBegin, end)) {
            mEntries.clear();
            throw ParseError(origin, lines.Number(), "bad escape");
        }
        Add(std::move(key), std::move(value));
    }
}

void ConfigFile::Add(std::string key, std::string value) {
    auto known = std::find_if(mEntries.begin(), mEntries.end(),
                              [&key](const auto& entry) { return entry.first == key; });
    if (known == mEntries.end())
        mEntries.emplace_back(std::move(key), std::move(value));
    else if (mLastWins)
        known->second = std::move(value);
}

const std::string* ConfigFile::Find(const char* key) const {
    for (const auto& entry : mEntries)
        if (entry.first == key) return &entry.second;
    return nullptr;
}

int ConfigFile::GetEntry(const char* key, char* buffer, unsigned size) const {
    const std::string* value = key != nullptr ? Find(key) : nullptr;
    if (value == nullptr) return 0;
    if (size > 0) {
        const size_t length = std::min<size_t>(value->size(), size - 1);
        memcpy(buffer, value->data(), length);
        buffer[length] = '\0';
    }
    return 1;
}

}  // namespace Configuration
