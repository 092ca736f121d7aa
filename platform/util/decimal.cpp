#include "platform/util/decimal.h"

#include <ctype.h>
#include <errno.h>
#include <stdlib.h>

bool ParseDecimal(const std::string& text, long long min, long long max, long long* value) {
    if (text.empty() || !(isdigit(static_cast<unsigned char>(text[0])) || text[0] == '-'))
        return false;
    errno = 0;
    char* end = nullptr;
    const long long parsed = strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || parsed < min || parsed > max) return false;
    *value = parsed;
    return true;
}
