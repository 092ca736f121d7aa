#include "platform/config/config_text.h"

#include <stdint.h>
#include <string.h>

#include <algorithm>

namespace Configuration {

namespace {

const char kHex[] = "0123456789ABCDEF";
// The one-letter escapes: kEscapedBytes[i] is written as a backslash and kEscapeLetters[i].
const char kEscapedBytes[] = "\\\n\r\t";
const char kEscapeLetters[] = "\\nrt";

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The bytes that may need an escape: control bytes (NUL ends the text), the backslash, and the
// space, which needs one only at either end.
struct CandidateBytes {
    bool is[256] = {};
    constexpr CandidateBytes() {
        for (int c = 0; c < 0x20; ++c) is[c] = true;
        is[0x7F] = is[static_cast<unsigned char>('\\')] = is[static_cast<unsigned char>(' ')] =
            true;
    }
};
constexpr CandidateBytes kCandidate;

char* WriteHex(char* out, unsigned char c) {
    out[0] = '\\';
    out[1] = 'x';
    out[2] = kHex[c >> 4];
    out[3] = kHex[c & 15];
    return out + 4;
}

// Writes the escape of candidate byte `c` (not NUL); `atEdge`: first or last byte of the text.
char* WriteCandidate(char* out, unsigned char c, bool atEdge) {
    if (const void* found = memchr(kEscapedBytes, c, sizeof kEscapedBytes - 1)) {
        out[0] = '\\';
        out[1] = kEscapeLetters[static_cast<const char*>(found) - kEscapedBytes];
        return out + 2;
    }
    if (c == ' ' && !atEdge) {
        *out = ' ';
        return out + 1;
    }
    return WriteHex(out, c);
}

// Decodes the escape at `backslash` into `*byte` and returns its length in bytes; 0 when it is not
// one of the escapes listed in the header.
size_t DecodeEscape(const char* backslash, const char* end, char* byte) {
    if (end - backslash < 2) return 0;
    if (const void* found = memchr(kEscapeLetters, backslash[1], sizeof kEscapeLetters - 1)) {
        *byte = kEscapedBytes[static_cast<const char*>(found) - kEscapeLetters];
        return 2;
    }
    if (backslash[1] != 'x' || end - backslash < 4) return 0;
    const int high = HexValue(backslash[2]), low = HexValue(backslash[3]);
    if (high < 0 || low < 0 || (high | low) == 0) return 0;
    *byte = static_cast<char>(high * 16 + low);
    return 4;
}

}  // namespace

char* WriteEscaped(char* out, const char** text, char separator, char comment) {
    const unsigned char* const start = reinterpret_cast<const unsigned char*>(*text);
    const unsigned char* p = start;
    const unsigned char sep = static_cast<unsigned char>(separator);
    if (comment != 0 && *p == static_cast<unsigned char>(comment)) out = WriteHex(out, *p++);
    for (;; ++p) {
        const unsigned char c = *p;
        if (!kCandidate.is[c] && c != sep) {
            *out++ = static_cast<char>(c);
        } else if (c == 0) {
            *text = reinterpret_cast<const char*>(p + 1);
            return out;
        } else if (c == sep) {
            out = WriteHex(out, c);
        } else {
            const bool atEdge = p == start || p[1] == 0;
            out = WriteCandidate(out, c, atEdge);
        }
    }
}

void AppendEscaped(std::string* out, const char* text, char separator, char comment) {
    const size_t start = out->size();
    out->resize(start + 4 * strlen(text));
    char* end = WriteEscaped(&(*out)[start], &text, separator, comment);
    out->resize(end - out->data());
}

char* WriteUnescaped(char* out, const char* begin, const char* end) {
    while (begin < end) {
        const char* backslash = static_cast<const char*>(memchr(begin, '\\', end - begin));
        if (backslash == nullptr) backslash = end;
        memcpy(out, begin, backslash - begin);
        out += backslash - begin;
        if (backslash == end) return out;
        const size_t length = DecodeEscape(backslash, end, out++);
        if (length == 0) return nullptr;
        begin = backslash + length;
    }
    return out;
}

void AppendUnescapedForgiving(std::string* out, const char* begin, const char* end) {
    while (begin < end) {
        const char* backslash = static_cast<const char*>(memchr(begin, '\\', end - begin));
        if (backslash == nullptr) backslash = end;
        out->append(begin, backslash);
        if (backslash == end) return;
        char byte;
        const size_t length = DecodeEscape(backslash, end, &byte);
        out->push_back(length == 0 ? '\\' : byte);
        begin = backslash + (length == 0 ? 1 : length);
    }
}

bool AppendUnescaped(std::string* out, const char* begin, const char* end) {
    const size_t start = out->size();
    out->resize(start + (end - begin));
    char* written = WriteUnescaped(&(*out)[start], begin, end);
    if (written == nullptr) return false;
    out->resize(written - out->data());
    return true;
}

const char* FindText(const char* begin, const char* end, const std::string& needle) {
    const size_t size = needle.size();
    if (size == 1) return static_cast<const char*>(memchr(begin, needle[0], end - begin));
    while (static_cast<size_t>(end - begin) >= size) {
        const char* hit = static_cast<const char*>(memchr(begin, needle[0], end - begin));
        if (hit == nullptr || static_cast<size_t>(end - hit) < size) return nullptr;
        if (memcmp(hit, needle.data(), size) == 0) return hit;
        begin = hit + 1;
    }
    return nullptr;
}

}  // namespace Configuration
