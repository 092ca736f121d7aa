// Copying and testing text eight bytes at a time, in words read and written with memcpy so that
// neither alignment nor byte order matters: the fast paths of the record writer (bytes that need
// escaping) and the wire decoder (control bytes) look at each byte once while they copy it.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

namespace words {

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

// Copies text[0, size) to out[0, size) as whole words, handing each word to `test` in turn; the
// last word (or the only one) overlaps the one before it instead of reaching past the end.
// Returns the OR of the results (0 for no bytes).
template <typename Test>
inline uint64_t CopyAndTestWords(char* out, const char* text, size_t size, Test test) {
    uint64_t word, found = 0;
    if (size >= 8) {
        for (size_t i = 0; i + 8 < size; i += 8) {
            memcpy(&word, text + i, 8);
            memcpy(out + i, &word, 8);
            found |= test(word);
        }
        memcpy(&word, text + size - 8, 8);
        memcpy(out + size - 8, &word, 8);
    } else if (size >= 4) {
        uint32_t low, high;
        memcpy(&low, text, 4);
        memcpy(&high, text + size - 4, 4);
        memcpy(out, &low, 4);
        memcpy(out + size - 4, &high, 4);
        word = uint64_t{high} << 32 | low;
    } else if (size > 0) {
        const unsigned char first = static_cast<unsigned char>(text[0]);
        const unsigned char middle = static_cast<unsigned char>(text[size / 2]);
        const unsigned char last = static_cast<unsigned char>(text[size - 1]);
        out[0] = static_cast<char>(first);
        out[size / 2] = static_cast<char>(middle);
        out[size - 1] = static_cast<char>(last);
        const uint64_t bytes =
            uint64_t{first} | uint64_t{middle} << 8 | uint64_t{last} << 16 | uint64_t{first} << 24;
        word = bytes << 32 | bytes;
    } else {
        return 0;
    }
    return found | test(word);
}

}  // namespace words
