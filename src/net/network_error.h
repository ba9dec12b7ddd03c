#pragma once
// The two ways a network step can end early. NetworkError carries the sentence the session shows
// to the customer; its narrow what() text never varies, so a generic handler cannot leak a
// half-formed message. Cancelled is deliberately outside std::exception: only the code that asked
// for the stop may catch it, and a catch (const std::exception&) must never swallow it.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

namespace varnel {

class NetworkError : public std::runtime_error {
 public:
  // `platform_code` is the network stack's own error code (0 when there is none), kept for
  // diagnosis only: the customer sees the sentence.
  explicit NetworkError(std::u16string message, std::uint32_t platform_code = 0)
      : std::runtime_error("Network operation failed"),
        message_(std::move(message)),
        platform_code_(platform_code) {}

  // The complete sentence shown to the customer.
  const std::u16string& message() const noexcept { return message_; }
  std::uint32_t platform_code() const noexcept { return platform_code_; }

 private:
  std::u16string message_;
  std::uint32_t platform_code_;
};

struct Cancelled {};

}  // namespace varnel
