// The error the configuration file classes raise for text that is not in their format.
#pragma once

#include <stdexcept>
#include <string>

namespace Configuration {

// Text that does not follow a configuration file's syntax. what() reads
// "<origin>:<line>: <reason>", where origin is the file's path (or the name given to the text).
class ParseError : public std::runtime_error {
  public:
    ParseError(const std::string& origin, unsigned line, const std::string& reason);
    // The 1-based line the problem was found on.
    unsigned line() const { return mLine; }
    // What is wrong with the line, without the origin and the line number.
    const std::string& reason() const { return mReason; }

  private:
    unsigned mLine;
    std::string mReason;
};

}  // namespace Configuration
