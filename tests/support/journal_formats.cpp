#include "support/journal_formats.h"

#include "state/checksum.h"
#include "state/record_journal.h"

namespace {

void PutWord(uint32_t value, char* out) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<char>(value >> (24 - 8 * i));
}

uint32_t GetWord(const char* in) {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value = (value << 8) | static_cast<unsigned char>(in[i]);
    return value;
}

}  // namespace

std::string AsFirstFormat(const std::string& journal) {
    using RecordJournal::kEntryHeadSize;
    std::string bytes = journal;
    PutWord(1, &bytes[4]);
    PutWord(Checksum::Crc32(bytes.data(), 12), &bytes[12]);
    for (size_t at = RecordJournal::kFileHeadSize; at + kEntryHeadSize <= bytes.size();) {
        const uint32_t length = GetWord(&bytes[at + 4]);
        if (length == 0 && GetWord(&bytes[at]) == 0) break;  // the zeros after the entries
        PutWord(Checksum::Crc32(&bytes[at + 4], kEntryHeadSize - 4 + length), &bytes[at]);
        at += kEntryHeadSize + length;
    }
    return bytes;
}
