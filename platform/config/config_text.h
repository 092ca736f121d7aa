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
#include <stdint.h>
#include <string.h>

#include <string>

#include "platform/util/words.h"

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

// Writes the entry line of `key` (`keySize` bytes), the `separator` byte and `value`
// (`valueSize` bytes) to `out`, which needs room for keySize + 1 + valueSize bytes and must not
// overlap them. True when that line is what WriteEscaped would write for them: no control byte,
// DEL or backslash in key or value, no `separator` byte in the key, no space at either end of key
// or value, and no `comment` byte (0: none) leading the key; false, with `out` holding the raw
// line, when the entry needs escaping. Copies and checks several bytes at a time: the writers'
// fast path.
inline bool CopyPlainEntry(char* out, const char* key, size_t keySize, char separator,
                           const char* value, size_t valueSize, char comment);

// Copies text[0, size) to `out` (not overlapping it) as whole words: for short texts, as entries
// mostly are, cheaper than a call.
inline void CopyText(char* out, const char* text, size_t size);

// Appends the escaped form of the NUL-terminated `text` to `*out`, like WriteEscaped.
void AppendEscaped(std::string* out, const char* text, char separator, char comment);

// Writes the text that the escaped form [begin, end) stands for to `out`, which needs room for
// end - begin bytes (the text is never longer than its escaped form), and returns the end of what
// it wrote (no NUL is written). Null, with `out` holding part of the text, for an escape not
// listed above or a backslash at the end.
char* WriteUnescaped(char* out, const char* begin, const char* end);

// Appends the text that the escaped form [begin, end) stands for to `*out`, reading it as a
// person who edits a file by hand means it: a backslash that does not start an escape listed
// above is kept as written ("\\server\data" gives "\server\data").
void AppendUnescapedForgiving(std::string* out, const char* begin, const char* end);

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

namespace detail {

// Bit 7 of a byte set where `word` holds a byte that a saved entry never holds raw: a control
// byte, DEL or a backslash.
inline uint64_t SpecialBytes(uint64_t word) {
    return words::BytesBelow(word, 0x20) | words::BytesEqual(word, 0x7F) |
           words::BytesEqual(word, '\\');
}

}  // namespace detail

void CopyText(char* out, const char* text, size_t size) {
    words::CopyAndTestWords(out, text, size, [](uint64_t) { return uint64_t{0}; });
}

bool CopyPlainEntry(char* out, const char* key, size_t keySize, char separator, const char* value,
                    size_t valueSize, char comment) {
    using detail::SpecialBytes;
    using words::BytesEqual;
    const unsigned char sep = static_cast<unsigned char>(separator);
    const uint64_t found =
        words::CopyAndTestWords(
            out, key, keySize, [sep](uint64_t w) { return SpecialBytes(w) | BytesEqual(w, sep); }) |
        words::CopyAndTestWords(out + keySize + 1, value, valueSize, SpecialBytes);
    out[keySize] = separator;
    if (found != 0) return false;
    if (keySize > 0 && (key[0] == ' ' || key[0] == comment || key[keySize - 1] == ' '))
        return false;
    return valueSize == 0 || (value[0] != ' ' && value[valueSize - 1] != ' ');
}

}  // namespace Configuration
