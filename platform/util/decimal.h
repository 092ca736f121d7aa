// Reading a decimal integer written by a person or by this program: the one strict reader behind
// cdrctl's numeric arguments and the health records' numbers.
#pragma once

#include <string>

// Reads `text` as a decimal integer in [min, max]: an optional '-' and digits, nothing before or
// after them. False, with `*value` untouched, when `text` is anything else or out of range.
bool ParseDecimal(const std::string& text, long long min, long long max, long long* value);
