// Any input reads without crashing or throwing: hand-edited settings are forgiven, never refused.
#include <stddef.h>
#include <stdint.h>

#include "platform/config/config_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const uint8_t flags = size > 0 ? data[0] : 0;
    const char* text = reinterpret_cast<const char*>(data) + (size > 0 ? 1 : 0);
    const size_t length = size > 0 ? size - 1 : 0;
    Configuration::ConfigFile file(nullptr, flags & 1, flags & 2, flags & 4, "=", "#",
                                   (flags & 8) ? "END" : nullptr);
    file.Parse(text, length, "input");
    char buffer[16];
    for (const char* key : {"START_AUTO_DOWNLOAD_STAT", "download_cnt", "", "a"}) {
        if (file.GetEntry(key, buffer, sizeof buffer) != 0 && file.LineOf(key) == 0)
            __builtin_trap();
    }
    return 0;
}
