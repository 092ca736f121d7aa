#include "platform/util/utf8_text.h"

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

bool IsTerminalControl(unsigned code) {
    return (code >= 0x80 && code <= 0x9F) || code == 0x061C || code == 0x200E || code == 0x200F ||
           (code >= 0x202A && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069);
}
