#include "guard/frame_symbol.h"

#include <dlfcn.h>
#include <link.h>
#include <stdint.h>
#include <stdio.h>

void FormatFrameSymbol(void* address, char* out, size_t size) {
    Dl_info info = {};
    struct link_map* map = nullptr;
    int found = dladdr1(address, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP);
    if (found == 0 || info.dli_fname == nullptr || info.dli_fname[0] == '\0') {
        snprintf(out, size, "[%p]", address);
        return;
    }
    // Without a symbol, the offset counts from the file's load bias.
    uintptr_t base = info.dli_sname != nullptr ? reinterpret_cast<uintptr_t>(info.dli_saddr)
                                               : static_cast<uintptr_t>(map->l_addr);
    const char* symbol = info.dli_sname != nullptr ? info.dli_sname : "";
    if (info.dli_sname == nullptr && base == 0) {
        snprintf(out, size, "%s() [%p]", info.dli_fname, address);
        return;
    }
    uintptr_t at = reinterpret_cast<uintptr_t>(address);
    char sign = at >= base ? '+' : '-';
    ptrdiff_t offset = static_cast<ptrdiff_t>(at >= base ? at - base : base - at);
    snprintf(out, size, "%s(%s%c%#tx) [%p]", info.dli_fname, symbol, sign, offset, address);
}
