#include "platform/config/parse_error.h"

namespace Configuration {

ParseError::ParseError(const std::string& origin, unsigned line, const std::string& reason)
    : std::runtime_error(origin + ":" + std::to_string(line) + ": " + reason),
      mLine(line),
      mReason(reason) {}

}  // namespace Configuration
