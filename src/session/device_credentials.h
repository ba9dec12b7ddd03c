#pragma once
// The machine's identity towards one support server, sent in the first message of every session.
#include <string>

namespace varnel {

struct DeviceCredentials {
  std::u16string device_id;  // 32 lower-case hexadecimal characters
  std::u16string token;      // 64 lower-case hexadecimal characters

  friend bool operator==(const DeviceCredentials&, const DeviceCredentials&) = default;
};

}  // namespace varnel
