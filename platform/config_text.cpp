#include "platform/config_text.h"

#include <string.h>

namespace Configuration {

namespace {

const char kHex[] = "0123456789ABCDEF";

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Writes the escape for byte `c` at `index` of a text of `size` bytes into `escape` and returns
// its length, or returns 0 when the byte stands for itself there.
size_t EscapeFor(unsigned char c, size_t index, size_t size, unsigned char separator,
                 unsigned char comment, char* escape) {
    char letter = 0;
    switch (c) {
        case '\\': letter = '\\'; break;
        case '\n': letter = 'n'; break;
        case '\r': letter = 'r'; break;
        case '\t': letter = 't'; break;
    }
    if (letter != 0) {
        escape[0] = '\\';
        escape[1] = letter;
        return 2;
    }
    const bool atEdge = index == 0 || index + 1 == size;
    const bool hex = c < 0x20 || c == 0x7F || (c == ' ' && atEdge) ||
                     (separator != 0 && c == separator) ||
                     (index == 0 && comment != 0 && c == comment);
    if (!hex) return 0;
    escape[0] = '\\';
    escape[1] = 'x';
    escape[2] = kHex[c >> 4];
    escape[3] = kHex[c & 15];
    return 4;
}

}  // namespace

void AppendEscaped(std::string* out, const char* text, size_t size, char separator, char comment) {
    const unsigned char sep = static_cast<unsigned char>(separator);
    const unsigned char mark = static_cast<unsigned char>(comment);
    size_t pending = 0;  // start of the bytes not appended yet
    for (size_t i = 0; i < size; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c > ' ' && c != 0x7F && c != '\\' && c != sep && c != mark) continue;
        char escape[4];
        const size_t length = EscapeFor(c, i, size, sep, mark, escape);
        if (length == 0) continue;
        out->append(text + pending, i - pending);
        out->append(escape, length);
        pending = i + 1;
    }
    out->append(text + pending, size - pending);
}

bool AppendUnescaped(std::string* out, const char* begin, const char* end) {
    while (begin < end) {
        const char* backslash = static_cast<const char*>(memchr(begin, '\\', end - begin));
        if (backslash == nullptr) backslash = end;
        out->append(begin, backslash);
        if (backslash == end) return true;
        if (end - backslash < 2) return false;
        switch (backslash[1]) {
            case '\\': out->push_back('\\'); break;
            case 'n': out->push_back('\n'); break;
            case 'r': out->push_back('\r'); break;
            case 't': out->push_back('\t'); break;
            case 'x': {
                if (end - backslash < 4) return false;
                const int high = HexValue(backslash[2]), low = HexValue(backslash[3]);
                if (high < 0 || low < 0 || (high | low) == 0) return false;
                out->push_back(static_cast<char>(high * 16 + low));
                begin = backslash + 4;
                continue;
            }
            default: return false;
        }
        begin = backslash + 2;
    }
    return true;
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

bool Equals(const char* begin, const char* end, const std::string& text) {
    return static_cast<size_t>(end - begin) == text.size() &&
           memcmp(begin, text.data(), text.size()) == 0;
}

bool StartsWith(const char* begin, const char* end, const std::string& text) {
    return static_cast<size_t>(end - begin) >= text.size() &&
           memcmp(begin, text.data(), text.size()) == 0;
}

const char* FindText(const char* begin, const char* end, const std::string& needle) {
    const size_t size = needle.size();
    while (static_cast<size_t>(end - begin) >= size) {
        const char* hit = static_cast<const char*>(memchr(begin, needle[0], end - begin));
        if (hit == nullptr || static_cast<size_t>(end - hit) < size) return nullptr;
        if (memcmp(hit, needle.data(), size) == 0) return hit;
        begin = hit + 1;
    }
    return nullptr;
}

void TrimBlanks(const char** begin, const char** end) {
    while (*begin < *end && IsBlank(**begin)) ++*begin;
    while (*end > *begin && IsBlank((*end)[-1])) --*end;
}

}  // namespace Configuration
