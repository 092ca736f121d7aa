#include "platform/config/section_scan.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace Configuration {

namespace {

// True for a byte that a saved entry line never holds raw: a control byte (the line end
// included), DEL or a backslash.
inline bool IsSpecial(unsigned char c) {
    return c < 0x20 || c == 0x7F || c == '\\';
}

}  // namespace

bool HasRawControlBytes(const char* text, size_t size) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
    unsigned char found = 0;  // a branch-free loop the compiler can vectorise
    for (size_t i = 0; i < size; ++i)
        found |= static_cast<unsigned char>((bytes[i] < 0x20) & (bytes[i] != '\n')) |
                 static_cast<unsigned char>(bytes[i] == 0x7F);
    return found != 0;
}

const char* ScanEntryLine(const char* line, const char* end, char sep, const char** separator) {
    *separator = nullptr;
    const char* p = line;
#if defined(__SSE2__)
    const __m128i lineEnds = _mm_set1_epi8('\n'), seps = _mm_set1_epi8(sep);
    const __m128i del = _mm_set1_epi8(0x7F), backslash = _mm_set1_epi8('\\');
    const __m128i lastControl = _mm_set1_epi8(0x1F);
    for (; end - p >= 16; p += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const unsigned lineEnd =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, lineEnds)));
        const __m128i special = _mm_or_si128(
            _mm_cmpeq_epi8(_mm_min_epu8(bytes, lastControl), bytes),
            _mm_or_si128(_mm_cmpeq_epi8(bytes, del), _mm_cmpeq_epi8(bytes, backslash)));
        const unsigned specials = static_cast<unsigned>(_mm_movemask_epi8(special));
        unsigned found = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, seps)));
        // Only the bytes before the line end count.
        const unsigned before = lineEnd != 0 ? (lineEnd & (0u - lineEnd)) - 1 : 0xFFFFu;
        if ((specials & before) != 0) return nullptr;
        found &= before;
        if (*separator == nullptr && found != 0) *separator = p + __builtin_ctz(found);
        if (lineEnd != 0) return p + __builtin_ctz(lineEnd);
    }
#endif
    for (; p < end; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c == '\n') return p;
        if (IsSpecial(c)) return nullptr;
        if (c == static_cast<unsigned char>(sep) && *separator == nullptr) *separator = p;
    }
    return nullptr;
}

}  // namespace Configuration
