// Numbers on cdrctl's command line: read strictly, and refused with a reason that names what was
// wanted and the range it takes.
#pragma once

#include <stdint.h>

#include <string>

// Reads `text` as a decimal integer in [min, max] into `*value`. False, with "bad <what> '<text>':
// expected an integer from <min> to <max>" in `*error`, when it is not one.
bool ParseNumberArgument(const std::string& what, const std::string& text, long long min,
                         long long max, long long* value, std::string* error);

// ParseNumberArgument over the range of a 32-bit signed integer.
bool ParseInt32Argument(const std::string& what, const std::string& text, int32_t* value,
                        std::string* error);
