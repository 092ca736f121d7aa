// Feeds arbitrary command lines to cdrctl's argument parser: the input is split at NUL bytes into
// arguments. Whatever the parser accepts must be a message that encodes, and decodes back to the
// same bytes, so that nothing cdrctl agrees to send can be refused or misread on the way.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "platform/messaging/wire_codec.h"
#include "tools/cdrctl.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> args;
    const char* text = reinterpret_cast<const char*>(data);
    for (size_t start = 0; start <= size;) {
        const void* nul = memchr(text + start, '\0', size - start);
        size_t end =
            nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - text) : size;
        args.emplace_back(text + start, end - start);
        start = end + 1;
    }
    CdrctlCommand command;
    std::string error;
    if (!ParseCdrctlArguments(args, &command, &error)) {
        if (error.empty()) abort();  // a refusal always says why
        return 0;
    }
    if (command.help) return 0;
    if (command.repeat < 1 || command.timeoutMillis < 0) abort();
    unsigned char encoded[kMaxMessageSize];
    const size_t encodedSize = EncodeMessage(command.message, encoded, nullptr);
    if (encodedSize == 0) abort();
    WireMessage decoded;
    if (DecodeMessage(encoded, encodedSize, &decoded) != nullptr) abort();
    unsigned char again[kMaxMessageSize];
    if (EncodeMessage(decoded, again, nullptr) != encodedSize ||
        memcmp(again, encoded, encodedSize) != 0)
        abort();
    return 0;
}
