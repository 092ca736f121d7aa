// Feeds arbitrary bytes to the message decoder. Whatever it accepts with its texts as they stand
// must encode back to exactly the same bytes: the layout has one encoding per message, so anything
// else means a field was read or written wrongly. What it accepts with fitted texts must encode to
// a message that decodes with nothing left to fit and encodes back to itself.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "platform/messaging/wire_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    WireMessage message;
    std::string fitted, refitted;
    if (DecodeMessage(data, size, &message, &fitted) != nullptr) return 0;
    unsigned char encoded[kMaxMessageSize];
    const size_t encodedSize = EncodeMessage(message, encoded, nullptr, &refitted);
    if (!refitted.empty()) abort();  // decoded texts travel as they stand
    if (fitted.empty()) {
        if (encodedSize != size || memcmp(encoded, data, size) != 0) abort();
        return 0;
    }
    WireMessage again;
    if (DecodeMessage(encoded, encodedSize, &again, &refitted) != nullptr || !refitted.empty())
        abort();
    return 0;
}
