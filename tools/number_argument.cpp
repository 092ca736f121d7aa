#include "tools/number_argument.h"

#include "platform/util/decimal.h"

bool ParseNumberArgument(const std::string& what, const std::string& text, long long min,
                         long long max, long long* value, std::string* error) {
    if (ParseDecimal(text, min, max, value)) return true;
    *error = "bad " + what + " '" + text + "': expected an integer from " + std::to_string(min) +
             " to " + std::to_string(max);
    return false;
}

bool ParseInt32Argument(const std::string& what, const std::string& text, int32_t* value,
                        std::string* error) {
    long long parsed = 0;
    if (!ParseNumberArgument(what, text, INT32_MIN, INT32_MAX, &parsed, error)) return false;
    *value = static_cast<int32_t>(parsed);
    return true;
}
