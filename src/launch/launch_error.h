#pragma once
// The one failure type of the launch configuration. The narrow what() text stays fixed so that
// generic handlers never show half-translated English; the sentence for the customer travels
// separately as UTF-16.
#include <stdexcept>
#include <string>
#include <utility>

namespace varnel {

class LaunchError : public std::runtime_error {
 public:
  explicit LaunchError(std::u16string message)
      : std::runtime_error("Invalid launch options"), message_(std::move(message)) {}

  // The complete sentence shown to the customer.
  const std::u16string& message() const noexcept { return message_; }

 private:
  std::u16string message_;
};

}  // namespace varnel
