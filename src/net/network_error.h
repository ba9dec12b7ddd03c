#pragma once
// The two ways a network step can end early. NetworkError carries the sentence the session shows
// to the customer; its narrow what() text never varies, so a generic handler cannot leak a
// half-formed message. Cancelled is deliberately outside std::exception: only the code that asked
// for the stop may catch it, and a catch (const std::exception&) must never swallow it.
#include <stdexcept>
#include <string>
#include <utility>

namespace varnel {

class NetworkError : public std::runtime_error {
 public:
  explicit NetworkError(std::u16string message)
      : std::runtime_error("Network operation failed"), message_(std::move(message)) {}

  // The complete sentence shown to the customer.
  const std::u16string& message() const noexcept { return message_; }

 private:
  std::u16string message_;
};

struct Cancelled {};

}  // namespace varnel
