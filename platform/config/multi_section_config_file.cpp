#include "platform/config/multi_section_config_file.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <new>
#include <stdexcept>

#include "platform/config/config_text.h"
#include "platform/config/parse_error.h"

namespace Configuration {

// One heap block: this header, then `capacity` bytes of which the first `used` hold the entries
// as "key\0value\0" pairs.
struct MultiSectionConfigFile::Section {
    Section* pPrev;
    Section* pNext;
    uint32_t used;
    uint32_t capacity;
    uint32_t entries;

    char* Data() { return reinterpret_cast<char*>(this + 1); }
    const char* Data() const { return reinterpret_cast<const char*>(this + 1); }
};

namespace {

// Room a section gets at its first entry; it doubles from there while the section is filled.
constexpr size_t kFirstRoom = 128;

// A syntax line as given ("{\n"): without its line end and the blanks around it.
std::string SyntaxLine(const char* given, const char* fallback, bool required, const char* role) {
    if (given == nullptr) given = fallback != nullptr ? fallback : "";
    const char* begin = given;
    const char* end = given + strlen(given);
    if (end > begin && end[-1] == '\n') --end;
    TrimBlanks(&begin, &end);
    if (required && begin == end)
        throw std::invalid_argument(std::string("sectioned file: empty ") + role);
    return std::string(begin, end);
}

std::string Separator(const char* given) {
    const std::string separator = given != nullptr ? given : "=";
    if (separator.empty() || IsBlank(separator[0]) || separator[0] == '\\' ||
        separator.find('\n') != std::string::npos)
        throw std::invalid_argument("sectioned file: unusable separator \"" + separator + "\"");
    return separator;
}

// The entry after the one at `entry` (key, NUL, value, NUL).
const char* SkipEntry(const char* entry) {
    const char* value = entry + strlen(entry) + 1;
    return value + strlen(value) + 1;
}

}  // namespace

MultiSectionConfigFile::MultiSectionConfigFile(const char* sectionWord, const char* open,
                                               const char* close, const char* separator,
                                               const char* comment, const char* endLine)
    : mSectionWord(SyntaxLine(sectionWord, nullptr, false, "section word")),
      mOpen(SyntaxLine(open, "{", true, "opening line")),
      mClose(SyntaxLine(close, "}", true, "closing line")),
      mSeparator(Separator(separator)),
      mComment(SyntaxLine(comment, nullptr, false, "comment mark")),
      mEndLine(SyntaxLine(endLine, nullptr, false, "end line")) {}

MultiSectionConfigFile::~MultiSectionConfigFile() {
    ClearAll();
}

// ---- structure ----

void MultiSectionConfigFile::Append(Section* section, bool front) {
    if (front) {
        section->pPrev = nullptr;
        section->pNext = mpHead;
        (mpHead != nullptr ? mpHead->pPrev : mpTail) = section;
        mpHead = section;
    } else {
        section->pNext = nullptr;
        section->pPrev = mpTail;
        (mpTail != nullptr ? mpTail->pNext : mpHead) = section;
        mpTail = section;
    }
    ++mCount;
}

void MultiSectionConfigFile::Unlink(Section* section) {
    (section->pPrev != nullptr ? section->pPrev->pNext : mpHead) = section->pNext;
    (section->pNext != nullptr ? section->pNext->pPrev : mpTail) = section->pPrev;
    --mCount;
}

MultiSectionConfigFile::Section* MultiSectionConfigFile::Resize(Section* section, size_t capacity) {
    if (capacity > UINT32_MAX) throw std::length_error("sectioned file: section too large");
    const bool current = section == mpCurrent;
    Section* moved = static_cast<Section*>(realloc(section, sizeof(Section) + capacity));
    if (moved == nullptr) throw std::bad_alloc();
    moved->capacity = static_cast<uint32_t>(capacity);
    (moved->pPrev != nullptr ? moved->pPrev->pNext : mpHead) = moved;
    (moved->pNext != nullptr ? moved->pNext->pPrev : mpTail) = moved;
    if (current) mpCurrent = moved;
    return moved;
}

void MultiSectionConfigFile::Reserve(size_t extra) {
    const size_t needed = mpCurrent->used + extra;
    if (needed <= mpCurrent->capacity) return;
    Resize(mpCurrent, std::max({needed, kFirstRoom, size_t{mpCurrent->capacity} * 2}));
}

void MultiSectionConfigFile::MakeCurrent(Section* section) {
    mResumePending = false;
    if (section == mpCurrent) return;
    // The section being left gives back its spare room: stored sections cost only their bytes.
    if (mpCurrent != nullptr && mpCurrent->capacity > mpCurrent->used)
        Resize(mpCurrent, mpCurrent->used);
    mpCurrent = section;
}

MultiSectionConfigFile::Section* MultiSectionConfigFile::NewSection(const char* entries,
                                                                    size_t size,
                                                                    unsigned entryCount) {
    if (size > UINT32_MAX) throw std::length_error("sectioned file: section too large");
    Section* section = static_cast<Section*>(malloc(sizeof(Section) + size));
    if (section == nullptr) throw std::bad_alloc();
    section->used = section->capacity = static_cast<uint32_t>(size);
    section->entries = entryCount;
    if (size > 0) memcpy(section->Data(), entries, size);
    return section;
}

int MultiSectionConfigFile::AddSection(bool front) {
    Section* section = NewSection(nullptr, 0, 0);
    MakeCurrent(nullptr);
    Append(section, front);
    mpCurrent = section;
    mModified = true;
    return 1;
}

int MultiSectionConfigFile::DeleteSection() {
    Section* section = mpCurrent;
    if (section == nullptr) return 0;
    Unlink(section);
    mpCurrent = nullptr;
    mpResume = section->pNext;
    mResumePending = true;
    free(section);
    mModified = true;
    return 1;
}

void MultiSectionConfigFile::ClearAll() {
    for (Section* section = mpHead; section != nullptr;) {
        Section* next = section->pNext;
        free(section);
        section = next;
    }
    mpHead = mpTail = mpCurrent = mpResume = nullptr;
    mResumePending = false;
    mCount = 0;
    mModified = true;
}

// ---- navigation ----

int MultiSectionConfigFile::GotoFirstSection() {
    MakeCurrent(mpHead);
    return mpCurrent != nullptr;
}

int MultiSectionConfigFile::GotoLastSection() {
    MakeCurrent(mpTail);
    return mpCurrent != nullptr;
}

int MultiSectionConfigFile::Restart() {
    MakeCurrent(nullptr);
    mpResume = mpHead;
    mResumePending = true;
    return mpHead != nullptr;
}

int MultiSectionConfigFile::GotoNextSection() {
    Section* next = mResumePending ? mpResume : mpCurrent != nullptr ? mpCurrent->pNext : nullptr;
    MakeCurrent(next);
    return mpCurrent != nullptr;
}

// ---- entries ----

char* MultiSectionConfigFile::FindEntry(const char* key) const {
    char* entry = mpCurrent->Data();
    const char* end = entry + mpCurrent->used;
    while (entry < end) {
        if (strcmp(entry, key) == 0) return entry;
        entry = const_cast<char*>(SkipEntry(entry));
    }
    return nullptr;
}

int MultiSectionConfigFile::AddSectionEntry(const char* key, const char* value) {
    if (mpCurrent == nullptr || key == nullptr || value == nullptr) return 0;
    const size_t keySize = strlen(key) + 1, valueSize = strlen(value) + 1;
    Reserve(keySize + valueSize);
    char* end = mpCurrent->Data() + mpCurrent->used;
    memcpy(end, key, keySize);
    memcpy(end + keySize, value, valueSize);
    mpCurrent->used += static_cast<uint32_t>(keySize + valueSize);
    ++mpCurrent->entries;
    mModified = true;
    return 1;
}

int MultiSectionConfigFile::SetSectionEntry(const char* key, const char* value) {
    if (mpCurrent == nullptr || key == nullptr || value == nullptr) return 0;
    const char* entry = FindEntry(key);
    if (entry == nullptr) return AddSectionEntry(key, value);
    const size_t offset = entry + strlen(entry) + 1 - mpCurrent->Data();
    const size_t oldSize = strlen(mpCurrent->Data() + offset) + 1;
    const size_t newSize = strlen(value) + 1;
    if (newSize > oldSize) Reserve(newSize - oldSize);
    char* old = mpCurrent->Data() + offset;
    const size_t tail = mpCurrent->used - offset - oldSize;
    memmove(old + newSize, old + oldSize, tail);
    memcpy(old, value, newSize);
    mpCurrent->used = static_cast<uint32_t>(offset + newSize + tail);
    mModified = true;
    return 1;
}

int MultiSectionConfigFile::GetSectionEntry(const char* key, char* buffer, unsigned size) const {
    if (mpCurrent == nullptr || key == nullptr) return 0;
    const char* entry = FindEntry(key);
    if (entry == nullptr) return 0;
    if (size > 0) {
        const char* value = entry + strlen(entry) + 1;
        const size_t length = std::min<size_t>(strlen(value), size - 1);
        memcpy(buffer, value, length);
        buffer[length] = '\0';
    }
    return 1;
}

unsigned MultiSectionConfigFile::GetEntryCount() const {
    return mpCurrent != nullptr ? mpCurrent->entries : 0;
}

bool MultiSectionConfigFile::GetEntry(unsigned index, std::string* key, std::string* value) const {
    if (index >= GetEntryCount()) return false;
    const char* entry = mpCurrent->Data();
    for (; index > 0; --index) entry = SkipEntry(entry);
    key->assign(entry);
    value->assign(entry + key->size() + 1);
    return true;
}

// ---- text ----

size_t MultiSectionConfigFile::MostTextOf(const Section& section) const {
    return mSectionWord.size() + mOpen.size() + mClose.size() + 3 + 4 * size_t{section.used} +
           section.entries * (mSeparator.size() + 1);
}

std::string MultiSectionConfigFile::Text() const {
    // Written straight into the string, grown to the most a section can take before each one.
    size_t plain = 0;  // the size when nothing needs an escape
    for (const Section* section = mpHead; section != nullptr; section = section->pNext)
        plain += MostTextOf(*section) - 3 * size_t{section->used};
    std::string text(plain + plain / 16, '\0');
    size_t length = 0;
    for (const Section* section = mpHead; section != nullptr; section = section->pNext) {
        const size_t most = length + MostTextOf(*section);
        if (most > text.size()) text.resize(std::max(most, text.size() + text.size() / 2));
        length = WriteSectionText(*section, &text[length]) - text.data();
    }
    text.resize(length);
    if (!mEndLine.empty()) text.append(mEndLine).push_back('\n');
    return text;
}

char* MultiSectionConfigFile::WriteSectionText(const Section& section, char* out) const {
    auto writeLine = [&out](const std::string& line) {
        memcpy(out, line.data(), line.size());
        out += line.size();
        *out++ = '\n';
    };
    if (!mSectionWord.empty()) writeLine(mSectionWord);
    writeLine(mOpen);
    const char commentMark = mComment.empty() ? '\0' : mComment[0];
    const char* entry = section.Data();
    for (uint32_t i = 0; i < section.entries; ++i) {
        out = WriteEscaped(out, &entry, mSeparator[0], commentMark);
        memcpy(out, mSeparator.data(), mSeparator.size());
        out += mSeparator.size();
        out = WriteEscaped(out, &entry, '\0', '\0');
        *out++ = '\n';
    }
    writeLine(mClose);
    return out;
}

void MultiSectionConfigFile::Parse(const char* text, size_t size, const std::string& origin) {
    ClearAll();
    try {
        ParseText(text, size, origin);
    } catch (...) {
        ClearAll();
        throw;
    }
    mModified = false;
}

void MultiSectionConfigFile::ParseText(const char* text, size_t size, const std::string& origin) {
    if (const char* nul = static_cast<const char*>(memchr(text, '\0', size)))
        throw ParseError(origin, 1 + static_cast<unsigned>(std::count(text, nul, '\n')),
                         "NUL byte");
    enum { kOutside, kAfterWord, kInside } state = kOutside;
    // The open section's entries, written in place and copied into its block when it closes.
    // Each entry takes no more room than its line, so room for a line is reserved before it.
    std::string entries;
    size_t used = 0;
    // The first backslash not before the current line: lines before it need no unescaping.
    const char* backslash = static_cast<const char*>(memchr(text, '\\', size));
    unsigned entryCount = 0, startLine = 0;
    LineReader lines(text, size);
    const char *begin, *end;
    while (lines.Next(&begin, &end)) {
        if (begin == end || StartsWith(begin, end, mComment)) continue;
        const unsigned line = lines.Number();
        if (state == kInside) {
            if (Equals(begin, end, mClose)) {
                Append(NewSection(entries.data(), used, entryCount), false);
                state = kOutside;
            } else if (Equals(begin, end, mOpen)) {
                throw ParseError(origin, line, "\"" + mOpen + "\" inside a section");
            } else {
                if (backslash != nullptr && backslash < begin)
                    backslash = static_cast<const char*>(memchr(begin, '\\', text + size - begin));
                if (entries.size() - used < static_cast<size_t>(end - begin) + 2)
                    entries.resize(std::max(2 * entries.size(), used + (end - begin) + 2));
                used = ParseEntry(begin, end, backslash != nullptr && backslash < end, origin, line,
                                  &entries[used]) -
                       entries.data();
                ++entryCount;
            }
        } else if (Equals(begin, end, mOpen)) {
            state = kInside;
            used = 0;
            entryCount = 0;
            startLine = line;
        } else if (state == kAfterWord) {
            throw ParseError(origin, line, "section word not followed by \"" + mOpen + "\"");
        } else if (!mSectionWord.empty() && Equals(begin, end, mSectionWord)) {
            state = kAfterWord;
            startLine = line;
        } else if (!mEndLine.empty() && Equals(begin, end, mEndLine)) {
            return;
        } else {
            throw ParseError(origin, line,
                             Equals(begin, end, mClose) ? "\"" + mClose + "\" outside a section"
                                                        : "text outside a section");
        }
    }
    if (state != kOutside) throw ParseError(origin, startLine, "section not closed");
}

char* MultiSectionConfigFile::ParseEntry(const char* begin, const char* end, bool escaped,
                                         const std::string& origin, unsigned line,
                                         char* out) const {
    const char* separator = FindText(begin, end, mSeparator);
    if (separator == nullptr) throw ParseError(origin, line, "line without \"" + mSeparator + "\"");
    const char* keyEnd = separator;
    const char* valueBegin = separator + mSeparator.size();
    TrimBlanks(&begin, &keyEnd);
    TrimBlanks(&valueBegin, &end);
    if (!escaped) {
        memcpy(out, begin, keyEnd - begin);
        out += keyEnd - begin;
        *out++ = '\0';
        memcpy(out, valueBegin, end - valueBegin);
        out += end - valueBegin;
        *out++ = '\0';
        return out;
    }
    out = WriteUnescaped(out, begin, keyEnd);
    if (out == nullptr) throw ParseError(origin, line, "bad escape in key");
    *out++ = '\0';
    out = WriteUnescaped(out, valueBegin, end);
    if (out == nullptr) throw ParseError(origin, line, "bad escape in value");
    *out++ = '\0';
    return out;
}

}  // namespace Configuration
