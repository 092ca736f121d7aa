// The checksums of the record journal's entries: CRC-32C, the one written, through the CPU's
// CRC instruction where there is one and eight tables elsewhere; and CRC-32, the one of
// journals written by earlier versions of the recorder, still read.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace Checksum {

// CRC-32C (the Castagnoli polynomial, reflected, as in iSCSI and ext4) of `size` bytes,
// continuing from `crc` (0 at the start). The same value on every host.
uint32_t Crc32c(const void* data, size_t size, uint32_t crc = 0);

// The same, always through the tables: what Crc32c computes on a CPU without the instruction.
uint32_t Crc32cByTable(const void* data, size_t size, uint32_t crc = 0);

// True when this CPU has a CRC-32C instruction that Crc32c uses.
bool HasCrc32cInstruction();

// CRC-32 (the polynomial of zlib and Ethernet) of `size` bytes, continuing from `crc` (0 at the
// start).
uint32_t Crc32(const void* data, size_t size, uint32_t crc = 0);

}  // namespace Checksum
