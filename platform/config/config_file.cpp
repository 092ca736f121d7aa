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
    if (path == nullptr) return;
    mOrigin = path;
    if (ReadWholeFile(path, &mText)) ParseText();
}

void ConfigFile::Parse(const char* text, size_t size, const std::string& origin) {
    mOrigin = origin;
    mText.assign(text, size);
    ParseText();
}

void ConfigFile::ParseText() {
    mEntries.clear();
    mFound.clear();
    LineReader lines(mText.data(), mText.size());
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
        mEntries.push_back({static_cast<size_t>(begin - mText.data()),
                            static_cast<size_t>(keyEnd - begin),
                            static_cast<size_t>(valueBegin - mText.data()),
                            static_cast<size_t>(end - valueBegin), lines.Number()});
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

std::string ConfigFile::Decode(size_t at, size_t length) const {
    const char* begin = mText.data() + at;
    if (!mUnescape) return std::string(begin, length);
    std::string text;
    AppendUnescapedForgiving(&text, begin, begin + length);
    return text;
}

bool ConfigFile::HasKey(const Entry& entry, const std::string& key) const {
    const char* begin = mText.data() + entry.key;
    if (mUnescape && memchr(begin, '\\', entry.keyLength) != nullptr)
        return Decode(entry.key, entry.keyLength) == key;
    return entry.keyLength == key.size() && memcmp(begin, key.data(), key.size()) == 0;
}

const ConfigFile::Entry* ConfigFile::Lookup(const char* key) const {
    if (key == nullptr) return nullptr;
    const std::string wanted(key);
    if (mLastWins) {
        for (auto entry = mEntries.rbegin(); entry != mEntries.rend(); ++entry)
            if (HasKey(*entry, wanted)) return &*entry;
    } else {
        for (const Entry& entry : mEntries)
            if (HasKey(entry, wanted)) return &entry;
    }
    return nullptr;
}

const std::string* ConfigFile::Find(const char* key) const {
    const Entry* entry = Lookup(key);
    if (entry == nullptr) return nullptr;
    std::string& value = mFound[key];
    value = Decode(entry->value, entry->valueLength);
    return &value;
}

unsigned ConfigFile::LineOf(const char* key) const {
    const Entry* entry = Lookup(key);
    return entry != nullptr ? entry->line : 0;
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
