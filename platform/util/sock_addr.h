// An IPv4 address and its dotted-decimal text, without allocation.
#pragma once

#include <stddef.h>
#include <stdint.h>

class SockAddr {
  public:
    SockAddr() { *this = 0UL; }

    // Loads the address whose first dotted byte is the most significant byte of the low 32 bits
    // of `address` (10.0.0.1 is 0x0A000001), whatever the machine's byte order.
    SockAddr& operator=(unsigned long address);

    // "a.b.c.d"; valid until the next assignment.
    const char* DottedDecimal() const { return mText; }
    // The length of DottedDecimal(), known from writing it.
    size_t DottedDecimalSize() const { return mSize; }

    uint32_t mAddr;

  private:
    char mText[16];
    size_t mSize;
};
