// Errors whose message quotes a caller's string. A Python str may hold NUL bytes, and what() is a C
// string that stops at the first one; message() keeps every byte, and the bindings raise it, so
// "complex64\0" is shown as given instead of as "complex64".
#pragma once

#include <memory>
#include <stdexcept>
#include <string>

namespace korvane {

template <class Base>
class TextError : public Base {
  public:
    explicit TextError(const std::string& message)
        : Base(message), message_(std::make_shared<const std::string>(message)) {}
    const std::string& message() const noexcept { return *message_; }

  private:
    std::shared_ptr<const std::string> message_;  // shared: copying an exception must not throw
};

using InvalidArgumentText = TextError<std::invalid_argument>;  // ValueError in Python
using RuntimeErrorText = TextError<std::runtime_error>;        // RuntimeError in Python

}  // namespace korvane
