#include "platform/config/config_file.h"

#include <string.h>

#include <algorithm>

#include "platform/config/config_text.h"
#include "platform/util/file_util.h"

namespace Configuration {

namespace {

std::string OrEmpty(const char* text) {
    return text != nullptr ? text : "";
}

bool IsQuote(char c) {
    return c == '"' || c == '\'';
}

// Drops one pair of matching quotes around [*begin, *end).
void StripQuotes(const char** begin, const char** end) {
    if (*end - *begin >= 2 && IsQuote(**begin) && (*end)[-1] == **begin) {
        ++*begin;
        --*end;
    }
}

}  // namespace

ConfigFile::ConfigFile(const char* path, bool unescape, bool stripQuotes, bool lastWins,
                       const char* separator, const char* comment, const char* endLine)
    : mUnescape(unescape),
      mStripQuotes(stripQuotes || !unescape),
      mLastWins(lastWins || !unescape),
      mSeparator(separator != nullptr && *separator != '\0' ? separator : "="),
      mComment(OrEmpty(comment)),
      mEndLine(OrEmpty(endLine)) {
    std::string text;
    if (path != nullptr) {
        mOrigin = path;
        if (ReadWholeFile(path, &text)) Parse(text.data(), text.size(), path);
    }
}

void ConfigFile::Parse(const char* text, size_t size, const std::string& origin) {
    mEntries.clear();
    mOrigin = origin;
    LineReader lines(text, size);
    const char *begin, *end;
    while (lines.Next(&begin, &end)) {
        if (!mEndLine.empty() && Equals(begin, end, mEndLine)) return;
        end = SettingEnd(begin, end);
        const char* separator = FindText(begin, end, mSeparator);
        if (separator == nullptr) continue;
        const char* keyEnd = separator;
        const char* valueBegin = separator + mSeparator.size();
        TrimBlanks(&begin, &keyEnd);
        TrimBlanks(&valueBegin, &end);
        if (mStripQuotes) StripQuotes(&valueBegin, &end);
        std::string key, value;
        if (mUnescape) {
            AppendUnescapedForgiving(&key, begin, keyEnd);
            AppendUnescapedForgiving(&value, valueBegin, end);
        } else {
            key.assign(begin, keyEnd);
            value.assign(valueBegin, end);
        }
        Add(std::move(key), std::move(value), lines.Number());
    }
}

const char* ConfigFile::SettingEnd(const char* begin, const char* end) const {
    if (mComment.empty()) return end;
    char quote = '\0';
    for (const char* p = begin; p < end; ++p) {
        if (quote != '\0') {
            if (*p == quote) quote = '\0';
        } else if (mStripQuotes && IsQuote(*p)) {
            quote = *p;
        } else if ((p == begin || IsBlank(p[-1])) && StartsWith(p, end, mComment)) {
            return p;
        }
    }
    return end;
}

void ConfigFile::Add(std::string key, std::string value, unsigned line) {
    auto known = mEntries.find(key);
    if (known == mEntries.end())
        mEntries.emplace(std::move(key), Entry{std::move(value), line});
    else if (mLastWins)
        known->second = Entry{std::move(value), line};
}

const std::string* ConfigFile::Find(const char* key) const {
    if (key == nullptr) return nullptr;
    auto found = mEntries.find(key);
    return found != mEntries.end() ? &found->second.value : nullptr;
}

unsigned ConfigFile::LineOf(const char* key) const {
    if (key == nullptr) return 0;
    auto found = mEntries.find(key);
    return found != mEntries.end() ? found->second.line : 0;
}

int ConfigFile::GetEntry(const char* key, char* buffer, unsigned size) const {
    const std::string* value = Find(key);
    if (value == nullptr) return 0;
    if (size > 0) {
        const size_t length = std::min<size_t>(value->size(), size - 1);
        memcpy(buffer, value->data(), length);
        buffer[length] = '\0';
    }
    return 1;
}

}  // namespace Configuration
