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

// True when the entry line [line, line + size), a key of `keySize` bytes, the separator's first
// byte and a value, is what WriteEscaped would write for them: no control byte, DEL or backslash
// in it, no `separator` byte in the key (read at `key`), no space at either end of key or value,
// and no `comment` byte (0: none) leading the key. Looks at several bytes at a time; the writers'
// fast path, which copies an entry first and checks it in place.
inline bool NeedsNoEscape(const char* key, size_t keySize, const char* line, size_t size,
                          char separator, char comment);

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

// Bit 7 of each byte of the result is set where a byte of `word` is below `limit` (at most
// 0x80); other bits may be set above such a byte, so only "any" is meaningful.
inline uint64_t BytesBelow(uint64_t word, unsigned char limit) {
    const uint64_t ones = 0x0101010101010101ull;
    return (word - ones * limit) & ~word & ones * 0x80;
}

// As BytesBelow, for the bytes of `word` equal to `byte`.
inline uint64_t BytesEqual(uint64_t word, unsigned char byte) {
    return BytesBelow(word ^ (0x0101010101010101ull * byte), 1);
}

// The bytes of text[0, size) (size > 0) as whole words, handed to `test` in turn; the last word
// (or the only one) overlaps the one before it instead of reading past the end. Returns the OR
// of the results.
template <typename Test>
inline uint64_t TestWords(const char* text, size_t size, Test test) {
    uint64_t word, found = 0;
    if (size >= 8) {
        for (size_t i = 0; i + 8 < size; i += 8) {
            memcpy(&word, text + i, 8);
            found |= test(word);
        }
        memcpy(&word, text + size - 8, 8);
    } else if (size >= 4) {
        uint32_t low, high;
        memcpy(&low, text, 4);
        memcpy(&high, text + size - 4, 4);
        word = uint64_t{high} << 32 | low;
    } else {
        const uint64_t bytes = uint64_t{static_cast<unsigned char>(text[0])} |
                               uint64_t{static_cast<unsigned char>(text[size / 2])} << 8 |
                               uint64_t{static_cast<unsigned char>(text[size - 1])} << 16 |
                               uint64_t{static_cast<unsigned char>(text[0])} << 24;
        word = bytes << 32 | bytes;
    }
    return found | test(word);
}

}  // namespace detail

bool NeedsNoEscape(const char* key, size_t keySize, const char* line, size_t size, char separator,
                   char comment) {
    using detail::BytesBelow;
    using detail::BytesEqual;
    const char* value = line + keySize + 1;
    const size_t valueSize = size - keySize - 1;
    if (keySize > 0 && (line[0] == ' ' || line[0] == comment || value[-2] == ' ')) return false;
    if (valueSize > 0 && (value[0] == ' ' || value[valueSize - 1] == ' ')) return false;
    const unsigned char sep = static_cast<unsigned char>(separator);
    if (keySize > 0 &&
        detail::TestWords(key, keySize, [sep](uint64_t w) { return BytesEqual(w, sep); }) != 0)
        return false;
    return detail::TestWords(line, size, [](uint64_t w) {
               return BytesBelow(w, 0x20) | BytesEqual(w, 0x7F) | BytesEqual(w, '\\');
           }) == 0;
}

}  // namespace Configuration
