#include "tools/escaped_text.h"

#include <stdio.h>

#include <algorithm>

namespace {

// The length of the valid UTF-8 sequence starting at text[at], or 0 when there is none; its code
// point in `*code`. Overlong forms, surrogates and code points past U+10FFFF are not valid.
size_t DecodeUtf8(const std::string& text, size_t at, unsigned* code) {
    const unsigned char lead = static_cast<unsigned char>(text[at]);
    size_t length;
    unsigned lowest;
    *code = lead;
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, lowest = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, lowest = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, lowest = 0x10000;
    } else {
        return 0;
    }
    if (at + length > text.size()) return 0;
    *code = lead & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) {
        const unsigned char next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xC0) != 0x80) return 0;
        *code = (*code << 6) | (next & 0x3F);
    }
    if (*code < lowest || *code > 0x10FFFF || (*code >= 0xD800 && *code <= 0xDFFF)) return 0;
    return length;
}

// A character beyond ASCII that a terminal acts on instead of showing: the C1 controls (U+009B
// starts an escape sequence as ESC [ does) and the bidirectional controls, which reorder what
// follows them on the line and so can make one number look like another.
bool IsTerminalControl(unsigned code) {
    return (code >= 0x80 && code <= 0x9F) || code == 0x061C || code == 0x200E || code == 0x200F ||
           (code >= 0x202A && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069);
}

// Appends `prefix` and `value` in `digits` hexadecimal digits, capitals when `capitals`.
void AppendHex(std::string* out, const char* prefix, unsigned value, int digits,
               bool capitals = false) {
    char hex[24];
    snprintf(hex, sizeof hex, capitals ? "%s%0*X" : "%s%0*x", prefix, digits, value);
    out->append(hex);
}

// JSON has no byte escapes: a byte that is not part of valid UTF-8 is written as the lone low
// surrogate U+DC00 + byte (\udc80 to \udcff). Valid UTF-8 never holds a surrogate, so no text
// reads back the same, and the bytes can be restored (Python: surrogateescape).
const unsigned kRawByteBase = 0xDC00;

// Bytes that the table shows as they are: printable ASCII but the backslash.
bool IsPlain(char c) {
    return c >= 0x20 && c < 0x7F && c != '\\';
}

}  // namespace

std::string TableCell(const std::string& value) {
    if (std::all_of(value.begin(), value.end(), IsPlain)) return value;
    std::string shown;
    for (size_t at = 0; at < value.size();) {
        unsigned code = 0;
        const size_t length = DecodeUtf8(value, at, &code);
        if (length > 1 && !IsTerminalControl(code))
            shown.append(value, at, length);
        else if (length > 1)
            AppendHex(&shown, "\\u", code, 4, true);
        else if (IsPlain(value[at]))
            shown += value[at];
        else if (value[at] == '\\')
            shown += "\\\\";
        else if (value[at] == '\n')
            shown += "\\n";
        else if (value[at] == '\r')
            shown += "\\r";
        else if (value[at] == '\t')
            shown += "\\t";
        else
            AppendHex(&shown, "\\x", static_cast<unsigned char>(value[at]), 2);
        at += length > 0 ? length : 1;
    }
    return shown;
}

size_t DisplayWidth(const std::string& text) {
    return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

void AppendJsonString(std::string* out, const std::string& text) {
    *out += '"';
    for (size_t at = 0; at < text.size();) {
        unsigned code = 0;
        const size_t length = DecodeUtf8(text, at, &code);
        const char byte = text[at];
        at += length > 0 ? length : 1;
        if (length == 0)
            AppendHex(out, "\\u", kRawByteBase + static_cast<unsigned char>(byte), 4);
        else if (length > 1 && !IsTerminalControl(code))
            out->append(text, at - length, length);
        else if (byte == '"' || byte == '\\')
            *out += std::string("\\") + byte;
        else if (byte == '\n')
            *out += "\\n";
        else if (byte == '\r')
            *out += "\\r";
        else if (byte == '\t')
            *out += "\\t";
        else if (code < 0x20 || code >= 0x7F)
            AppendHex(out, "\\u", code, 4);
        else
            *out += byte;
    }
    *out += '"';
}
