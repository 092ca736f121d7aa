// Feeds arbitrary bytes to the message decoder. Whatever it accepts must encode back to exactly
// the same bytes: the layout has one encoding per message, so anything else means a field was
// read or written wrongly.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "platform/messaging/wire_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    WireMessage message;
    if (DecodeMessage(data, size, &message) != nullptr) return 0;
    unsigned char encoded[kMaxMessageSize];
    size_t encodedSize = EncodeMessage(message, encoded, nullptr);
    if (encodedSize != size || memcmp(encoded, data, size) != 0) abort();
    return 0;
}
