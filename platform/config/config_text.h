// The escaping shared by the configuration files this library writes, and blank trimming.
//
// Keys and values may hold any byte but NUL. In the file text a backslash starts an escape:
//   "\\" a backslash, "\n" a line feed, "\r" a carriage return, "\t" a tab,
//   "\xHH" the byte with the two hex digits HH (00 excluded).
// Writers escape the backslash, every control byte (below 0x20, and 0x7F) and a space that
// starts or ends the text (readers drop blanks around keys and values). In keys they also escape
// every occurrence of the separator's first byte and a comment mark's first byte at the start,
// so a key can never end early or turn its line into a comment. Every other byte, including
// bytes above 0x7F, is written as it is.
#pragma once

#include <stddef.h>
#include <string.h>

#include <string>

namespace Configuration {

// Walks a text line by line; a line ends after "\n" or at the end of the text.
class LineReader {
  public:
    LineReader(const char* text, size_t size) : mpNext(text), mpEnd(text + size) {}

    // The next line without its end and without blanks around it. False at the end of the text.
    inline bool Next(const char** begin, const char** end);
    // The number (from 1) of the line Next returned last.
    unsigned Number() const { return mNumber; }
    // The line Next returned last as it stands in the text, its "\n" included.
    const char* RawBegin() const { return mpRawBegin; }
    const char* RawEnd() const { return mpNext; }

  private:
    const char* mpNext;
    const char* mpEnd;
    const char* mpRawBegin = nullptr;
    unsigned mNumber = 0;
};

// True when [begin, end) is exactly `text` (Equals), or begins with it (StartsWith).
inline bool Equals(const char* begin, const char* end, const std::string& text) {
    return static_cast<size_t>(end - begin) == text.size() &&
           text.compare(0, text.size(), begin, text.size()) == 0;
}
inline bool StartsWith(const char* begin, const char* end, const std::string& text) {
    return static_cast<size_t>(end - begin) >= text.size() && !text.empty() && *begin == text[0] &&
           text.compare(0, text.size(), begin, text.size()) == 0;
}
// The first occurrence of `needle` (not empty) in [begin, end), or null.
const char* FindText(const char* begin, const char* end, const std::string& needle);

// Writes the escaped form of the NUL-terminated `*text` to `out`, which needs room for 4 bytes per
// byte of text, moves `*text` past the NUL and returns the end of what it wrote (no NUL is
// written). For a key pass the separator's and the comment mark's first bytes (0 for none); for
// a value pass 0 for both.
char* WriteEscaped(char* out, const char** text, char separator, char comment);

// True when the escaped form of text[0, size) is the text itself: no control byte, DEL or
// backslash, no `separator` byte (0: none is looked for), and no space at either end. Looks at
// several bytes at a time; the writers' fast path.
bool NeedsNoEscape(const char* text, size_t size, char separator);

// Appends the escaped form of the NUL-terminated `text` to `*out`, like WriteEscaped.
void AppendEscaped(std::string* out, const char* text, char separator, char comment);

// Writes the text that the escaped form [begin, end) stands for to `out`, which needs room for
// end - begin bytes (the text is never longer than its escaped form), and returns the end of what
// it wrote (no NUL is written). Null, with `out` holding part of the text, for an escape not
// listed above or a backslash at the end.
char* WriteUnescaped(char* out, const char* begin, const char* end);

// Appends the text that the escaped form [begin, end) stands for to `*out`. Returns false, with
// `*out` in an unspecified state, for an escape not listed above or a backslash at the end.
bool AppendUnescaped(std::string* out, const char* begin, const char* end);

// True for the bytes dropped around keys, values and whole lines: space, tab, carriage return.
inline bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

// Moves `*begin` forward and `*end` back over blanks.
inline void TrimBlanks(const char** begin, const char** end) {
    while (*begin < *end && IsBlank(**begin)) ++*begin;
    while (*end > *begin && IsBlank((*end)[-1])) --*end;
}

bool LineReader::Next(const char** begin, const char** end) {
    if (mpNext >= mpEnd) return false;
    mpRawBegin = mpNext;
    const char* lineEnd = static_cast<const char*>(memchr(mpNext, '\n', mpEnd - mpNext));
    if (lineEnd == nullptr) lineEnd = mpEnd;
    mpNext = lineEnd < mpEnd ? lineEnd + 1 : mpEnd;
    ++mNumber;
    *begin = mpRawBegin;
    *end = lineEnd;
    TrimBlanks(begin, end);
    return true;
}

}  // namespace Configuration
