#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "platform/config/config_text.h"
#include "platform/config/multi_section_config_file.h"
#include "platform/config/parse_error.h"
#include "platform/config/section_scan.h"

namespace Configuration {

void MultiSectionConfigFile::Parse(const char* text, size_t size, const std::string& origin) {
    FileBytes copy;
    copy.Allocate(size);
    if (size > 0) memcpy(copy.data(), text, size);
    Load(&copy, origin);
}

void MultiSectionConfigFile::Load(FileBytes* text, const std::string& origin) {
    ClearAll();
    mLoaded.swap(*text);
    try {
        if (!ScanSavedText()) {
            ClearSlots();
            ScanText(origin);
        }
    } catch (...) {
        ClearAll();
        throw;
    }
    if (mLoadedSlices == 0) ReleaseLoaded();
    mRing.Fit(mRing.Count());
    mModified = false;
}

// The quick load of a file as saves write it (the common case): sections back to back, each
// exactly the head line(s), entry lines that need no unescaping and the closing line. Takes each
// section as a slice of the text. False, with some sections perhaps taken, at the first thing
// that is not so; ScanText then judges the whole text.
bool MultiSectionConfigFile::ScanSavedText() {
    const char* p = mLoaded.data();
    const char* const end = p + mLoaded.size();
    if (mSeparator.size() != 1) return false;
    const char sep = mSeparator[0], comment = mComment.empty() ? '\0' : mComment[0];
    const size_t headSize = mHead.size(), tailSize = mTail.size();
    const char tailFirst = mTail[0];
    while (p < end) {
        if (static_cast<size_t>(end - p) == mEndLine.size() + 1 && !mEndLine.empty() &&
            memcmp(p, mEndLine.data(), mEndLine.size()) == 0 && end[-1] == '\n')
            break;
        if (static_cast<size_t>(end - p) < headSize + tailSize ||
            memcmp(p, mHead.data(), headSize) != 0)
            return false;
        const char* const section = p;
        for (p += headSize;;) {
            const char* line = p;
            if (static_cast<size_t>(end - line) >= tailSize && *line == tailFirst &&
                memcmp(line, mTail.data(), tailSize) == 0) {
                p += tailSize;
                break;
            }
            // An entry as saved: no byte that needs escaping, the separator in it, no blank at
            // its ends or around the separator, not read as a comment, not a bracket line.
            const char* separator;
            const char* newline = ScanEntryLine(line, end, sep, &separator);
            if (newline == nullptr) return false;
            p = newline + 1;
            // Tabs and carriage returns were refused as control bytes: a space is the one blank
            // left to look for.
            if (separator == nullptr || line[0] == ' ' || newline[-1] == ' ' ||
                line[0] == comment || (separator > line && separator[-1] == ' ') ||
                (separator + 1 < newline && separator[1] == ' '))
                return false;
        }
        mRing.Insert(mRing.Count(), Slot{const_cast<char*>(section), SectionSize(p - section)});
        ++mLoadedSlices;
    }
    return true;
}

// Walks the loaded text once, line by line, checking every line as the format requires. A
// section whose lines are exactly as they would be saved stays a slice of the text; any other
// (comments or blanks inside, other spacing or line ends, other escapes) is rebuilt in the
// saved form.
void MultiSectionConfigFile::ScanText(const std::string& origin) {
    const char* const text = mLoaded.data();
    const size_t size = mLoaded.size();
    if (const char* nul = static_cast<const char*>(memchr(text, '\0', size)))
        throw ParseError(origin, 1 + static_cast<unsigned>(std::count(text, nul, '\n')),
                         "NUL byte");
    const bool controls = HasRawControlBytes(text, size);
    enum { kOutside, kAfterWord, kInside } state = kOutside;
    // The first backslash not before the current line.
    const char* backslash = static_cast<const char*>(memchr(text, '\\', size));
    const char *sectionBegin = nullptr, *entriesBegin = nullptr;
    bool canonical = true;
    unsigned startLine = 0;
    LineReader lines(text, size);
    const char *begin, *end;
    while (lines.Next(&begin, &end)) {
        // A line is as saved when nothing was trimmed from it and its line end is there.
        const bool exact = begin == lines.RawBegin() && end + 1 == lines.RawEnd() && *end == '\n';
        if (begin == end || StartsWith(begin, end, mComment)) {
            canonical = false;
            continue;
        }
        const unsigned line = lines.Number();
        if (state == kInside) {
            if (Equals(begin, end, mClose)) {
                const Slot slot = canonical && exact
                                      ? Slot{const_cast<char*>(sectionBegin),
                                             SectionSize(lines.RawEnd() - sectionBegin)}
                                      : BuildSection(entriesBegin, lines.RawBegin());
                try {
                    mRing.Insert(mRing.Count(), slot);
                } catch (...) {
                    if (!IsLoaded(slot.text)) free(slot.text);
                    throw;
                }
                if (IsLoaded(slot.text)) ++mLoadedSlices;
                state = kOutside;
                continue;
            }
            if (Equals(begin, end, mOpen))
                throw ParseError(origin, line, "\"" + mOpen + "\" inside a section");
            if (backslash != nullptr && backslash < begin)
                backslash = static_cast<const char*>(memchr(begin, '\\', text + size - begin));
            const bool escaped = backslash != nullptr && backslash < end;
            const char* separator;
            CheckEntry(begin, end, escaped, origin, line, &separator);
            canonical =
                canonical && exact && IsCanonicalEntry(begin, end, separator, controls || escaped);
        } else if (Equals(begin, end, mOpen)) {
            if (state == kOutside) {
                sectionBegin = lines.RawBegin();
                canonical = mSectionWord.empty();
            }
            canonical = canonical && exact;
            entriesBegin = lines.RawEnd();
            state = kInside;
            startLine = line;
        } else if (state == kAfterWord) {
            throw ParseError(origin, line, "section word not followed by \"" + mOpen + "\"");
        } else if (!mSectionWord.empty() && Equals(begin, end, mSectionWord)) {
            state = kAfterWord;
            sectionBegin = lines.RawBegin();
            canonical = exact;
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

// Checks the entry line [begin, end) (trimmed; `escaped`: it may hold a backslash) and finds its
// separator; throws ParseError for a line without one or with a bad escape.
void MultiSectionConfigFile::CheckEntry(const char* begin, const char* end, bool escaped,
                                        const std::string& origin, unsigned line,
                                        const char** separator) const {
    *separator = FindText(begin, end, mSeparator);
    if (*separator == nullptr)
        throw ParseError(origin, line, "line without \"" + mSeparator + "\"");
    if (!escaped) return;
    std::string scratch;
    if (!AppendUnescaped(&scratch, begin, *separator))
        throw ParseError(origin, line, "bad escape in key");
    if (!AppendUnescaped(&scratch, *separator + mSeparator.size(), end))
        throw ParseError(origin, line, "bad escape in value");
}

// True when the entry line [begin, end) (trimmed, its separator at `separator`) is exactly as a
// save writes it. `special`: the line may hold a backslash or a raw control byte, which only the
// full comparison can judge.
bool MultiSectionConfigFile::IsCanonicalEntry(const char* begin, const char* end,
                                              const char* separator, bool special) const {
    const char* value = separator + mSeparator.size();
    const bool plain =
        !special && (separator == begin || !IsBlank(separator[-1])) &&
        (value == end || !IsBlank(*value)) && (mComment.empty() || *begin != mComment[0]) &&
        (mSeparator.size() == 1 || memchr(begin, mSeparator[0], separator - begin) == nullptr);
    if (plain) return true;
    std::string saved;
    AppendCanonicalEntry(&saved, begin, end);
    return saved.size() == static_cast<size_t>(end - begin) + 1 &&
           memcmp(saved.data(), begin, end - begin) == 0;
}

// Appends the saved form of the entry line [begin, end) (checked), its line end included.
void MultiSectionConfigFile::AppendCanonicalEntry(std::string* out, const char* begin,
                                                  const char* end) const {
    const char* separator = FindText(begin, end, mSeparator);
    const char* keyEnd = separator;
    const char* valueBegin = separator + mSeparator.size();
    TrimBlanks(&begin, &keyEnd);
    TrimBlanks(&valueBegin, &end);
    std::string key, value;
    AppendUnescaped(&key, begin, keyEnd);
    AppendUnescaped(&value, valueBegin, end);
    AppendEscaped(out, key.c_str(), mSeparator[0], mComment.empty() ? '\0' : mComment[0]);
    out->append(mSeparator);
    AppendEscaped(out, value.c_str(), '\0', '\0');
    out->push_back('\n');
}

// A section of its own, in the saved form, holding the entries of the checked lines
// [entriesBegin, entriesEnd) (comments and blank lines skipped).
MultiSectionConfigFile::Slot MultiSectionConfigFile::BuildSection(const char* entriesBegin,
                                                                  const char* entriesEnd) const {
    std::string text = mHead;
    LineReader lines(entriesBegin, entriesEnd - entriesBegin);
    const char *begin, *end;
    while (lines.Next(&begin, &end))
        if (begin != end && !StartsWith(begin, end, mComment))
            AppendCanonicalEntry(&text, begin, end);
    text += mTail;
    char* block = AllocateText(text.size());
    memcpy(block, text.data(), text.size());
    return Slot{block, SectionSize(text.size())};
}

}  // namespace Configuration
