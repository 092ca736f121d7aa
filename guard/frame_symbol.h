// The text a backtrace report shows for one code address, built without allocating so that a
// signal handler can use it.
#pragma once

#include <stddef.h>

// Writes the description of `address` into `out`, in the layout of backtrace_symbols:
// "file(symbol+0xoffset) [address]", "file(+0xoffset) [address]" when the address lies in a
// loaded file but not in an exported symbol (the offset then counts from the file's load bias),
// and "[address]" when it lies in no loaded file. The text is cut to `size` - 1 characters and
// always NUL-terminated (`size` must be at least 1).
void FormatFrameSymbol(void* address, char* out, size_t size);
