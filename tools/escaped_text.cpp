#include "tools/escaped_text.h"

#include <stdio.h>

#include <algorithm>

#include "platform/util/utf8_text.h"

namespace {

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
