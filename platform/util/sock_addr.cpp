#include "platform/util/sock_addr.h"

SockAddr& SockAddr::operator=(unsigned long address) {
    mAddr = static_cast<uint32_t>(address & 0xFFFFFFFFUL);
    char* out = mText;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const unsigned byte = (mAddr >> shift) & 0xFF;
        if (byte >= 100) *out++ = static_cast<char>('0' + byte / 100);
        if (byte >= 10) *out++ = static_cast<char>('0' + byte / 10 % 10);
        *out++ = static_cast<char>('0' + byte % 10);
        *out++ = shift > 0 ? '.' : '\0';
    }
    return *this;
}
