#include "platform/util/sock_addr.h"

#include "platform/util/decimal.h"

SockAddr& SockAddr::operator=(unsigned long address) {
    mAddr = static_cast<uint32_t>(address & 0xFFFFFFFFUL);
    char* out = mText;
    for (int shift = 24; shift >= 0; shift -= 8) {
        out += FormatUnsignedDecimal(out, (mAddr >> shift) & 0xFF);
        *out++ = shift > 0 ? '.' : '\0';
    }
    mSize = static_cast<size_t>(out - 1 - mText);
    return *this;
}
