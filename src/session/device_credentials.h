#pragma once
// The machine's identity towards one support server, sent in the first message of every session.
// It is made once per server origin from random bytes and kept in the user's secret store; the
// rules for its form live here, the store and the random source are the platform's.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace varnel {

struct DeviceCredentials {
  std::u16string device_id;  // 32 lower-case hexadecimal characters
  std::u16string token;      // 64 lower-case hexadecimal characters

  friend bool operator==(const DeviceCredentials&, const DeviceCredentials&) = default;
};

// Random bytes behind each field.
inline constexpr std::size_t kDeviceIdBytes = 16;
inline constexpr std::size_t kTokenBytes = 32;
// The stored secret: the token's 64 UTF-16 units, little-endian, no terminator.
inline constexpr std::size_t kTokenBlobBytes = 128;

// The secret store's key for one server origin: QUILLORY_SYSTEM_NAME "/v1/" + origin.
std::u16string CredentialTargetName(std::u16string_view origin);

// Two characters from "0123456789abcdef" per byte, high nibble first.
std::u16string HexEncode(std::span<const std::uint8_t> bytes);

// Both fields have exactly their length and only the characters 0-9 and a-f.
bool IsValidDeviceCredentials(const DeviceCredentials& credentials);

// The pair of a stored entry: the user name is the device id; the blob is the token only when it
// is exactly kTokenBlobBytes long (otherwise the token stays empty). Throws std::runtime_error
// "Stored device credentials are invalid." unless the pair is valid.
DeviceCredentials DecodeStoredCredentials(std::u16string_view user_name,
                                          std::span<const std::uint8_t> blob);

// The stored blob of a token.
std::vector<std::uint8_t> EncodeTokenBlob(std::u16string_view token);

// What LoadOrCreateDeviceCredentials needs of the platform.
class DeviceCredentialStore {
 public:
  virtual ~DeviceCredentialStore() = default;
  // The stored pair, or nullopt when there is no entry. Throws std::runtime_error.
  virtual std::optional<DeviceCredentials> Read(std::u16string_view origin) = 0;
  // Creates or replaces the entry. Throws std::runtime_error.
  virtual void Write(std::u16string_view origin, const DeviceCredentials& credentials) = 0;
  // `byte_count` random bytes as lower-case hexadecimal. Throws std::runtime_error.
  virtual std::u16string RandomHex(std::size_t byte_count) = 0;
};

// Returns the stored pair unchanged, or makes a new one (device id first, then token), writes it
// and returns it; a pair that could not be written is never returned. An invalid entry fails the
// read and is left exactly as it is.
DeviceCredentials LoadOrCreateDeviceCredentials(std::u16string_view origin,
                                                DeviceCredentialStore& store);

}  // namespace varnel
