#include "state/checksum.h"

#include <string.h>

#if defined(__x86_64__)
#include <nmmintrin.h>
#endif

namespace Checksum {

namespace {

// Tables for a reflected CRC eight bytes at a time: values[0] is the CRC of every byte value,
// values[k] the same byte followed by k zero bytes. One table lookup per byte made the check a
// large part of a report's cost.
struct CrcTables {
    explicit CrcTables(uint32_t polynomial) {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t value = i;
            for (int bit = 0; bit < 8; ++bit)
                value = (value >> 1) ^ ((value & 1u) != 0 ? polynomial : 0u);
            values[0][i] = value;
        }
        for (int k = 1; k < 8; ++k) {
            for (uint32_t i = 0; i < 256; ++i)
                values[k][i] = (values[k - 1][i] >> 8) ^ values[0][values[k - 1][i] & 0xFFu];
        }
    }
    uint32_t values[8][256];
};

// The first four of `bytes` as a little-endian word, on any host: the CRC's bit order.
uint32_t LittleEndianWord(const unsigned char* bytes) {
    return uint32_t(bytes[0]) | (uint32_t(bytes[1]) << 8) | (uint32_t(bytes[2]) << 16) |
           (uint32_t(bytes[3]) << 24);
}

uint32_t ByTables(const CrcTables& tables, const void* data, size_t size, uint32_t crc) {
    const uint32_t(*t)[256] = tables.values;
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    crc = ~crc;
    for (; size >= 8; size -= 8, bytes += 8) {
        crc ^= LittleEndianWord(bytes);
        crc = t[7][crc & 0xFFu] ^ t[6][(crc >> 8) & 0xFFu] ^ t[5][(crc >> 16) & 0xFFu] ^
              t[4][crc >> 24] ^ t[3][bytes[4]] ^ t[2][bytes[5]] ^ t[1][bytes[6]] ^ t[0][bytes[7]];
    }
    for (; size > 0; --size, ++bytes) crc = t[0][(crc ^ *bytes) & 0xFFu] ^ (crc >> 8);
    return ~crc;
}

const uint32_t kCastagnoli = 0x82F63B78u;
const uint32_t kIeee = 0xEDB88320u;

#if defined(__x86_64__)
// Compiled for SSE4.2 alone, so that the rest of the program runs on any x86-64; called only
// when the CPU has it. The instruction takes the bytes in memory order on this little-endian
// host, as the tables do.
__attribute__((target("sse4.2"))) uint32_t ByInstruction(const void* data, size_t size,
                                                         uint32_t crc) {
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    uint64_t value = ~crc;
    for (; size >= 8; size -= 8, bytes += 8) {
        uint64_t word;
        memcpy(&word, bytes, sizeof word);
        value = _mm_crc32_u64(value, word);
    }
    uint32_t value32 = static_cast<uint32_t>(value);
    for (; size > 0; --size, ++bytes) value32 = _mm_crc32_u8(value32, *bytes);
    return ~value32;
}

bool CpuHasInstruction() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("sse4.2") != 0;
}
#else
uint32_t ByInstruction(const void* data, size_t size, uint32_t crc) {
    return Crc32cByTable(data, size, crc);
}

bool CpuHasInstruction() {
    return false;
}
#endif

}  // namespace

bool HasCrc32cInstruction() {
    static const bool has = CpuHasInstruction();
    return has;
}

uint32_t Crc32c(const void* data, size_t size, uint32_t crc) {
    return HasCrc32cInstruction() ? ByInstruction(data, size, crc) : Crc32cByTable(data, size, crc);
}

uint32_t Crc32cByTable(const void* data, size_t size, uint32_t crc) {
    static const CrcTables tables(kCastagnoli);
    return ByTables(tables, data, size, crc);
}

uint32_t Crc32(const void* data, size_t size, uint32_t crc) {
    static const CrcTables tables(kIeee);
    return ByTables(tables, data, size, crc);
}

}  // namespace Checksum
