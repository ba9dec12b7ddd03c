// The form of the device identity, and a new one stored before it is used.
#include "session/device_credentials.h"

#include <stdexcept>
#include <utility>

#include "build_config.h"
#include "util/hex.h"

namespace varnel {
namespace {

constexpr std::size_t kDeviceIdLength = 2 * kDeviceIdBytes;
constexpr std::size_t kTokenLength = 2 * kTokenBytes;

}  // namespace

std::u16string CredentialTargetName(std::u16string_view origin) {
  return u"" QUILLORY_SYSTEM_NAME "/v1/" + std::u16string(origin);
}

std::u16string HexEncode(std::span<const std::uint8_t> bytes) {
  std::u16string text;
  text.reserve(2 * bytes.size());
  for (std::uint8_t byte : bytes) {
    text.push_back(kLowerHexDigits[byte >> 4]);
    text.push_back(kLowerHexDigits[byte & 0x0F]);
  }
  return text;
}

bool IsValidDeviceCredentials(const DeviceCredentials& credentials) {
  return IsLowerHex(credentials.device_id, kDeviceIdLength) &&
         IsLowerHex(credentials.token, kTokenLength);
}

DeviceCredentials DecodeStoredCredentials(std::u16string_view user_name,
                                          std::span<const std::uint8_t> blob) {
  DeviceCredentials credentials{std::u16string(user_name), {}};
  if (blob.size() == kTokenBlobBytes) {
    for (std::size_t i = 0; i < blob.size(); i += 2) {
      credentials.token.push_back(static_cast<char16_t>(blob[i] | (blob[i + 1] << 8)));
    }
  }
  if (!IsValidDeviceCredentials(credentials)) {
    throw std::runtime_error("Stored device credentials are invalid.");
  }
  return credentials;
}

std::vector<std::uint8_t> EncodeTokenBlob(std::u16string_view token) {
  std::vector<std::uint8_t> blob;
  blob.reserve(2 * token.size());
  for (char16_t unit : token) {
    blob.push_back(static_cast<std::uint8_t>(unit & 0xFF));
    blob.push_back(static_cast<std::uint8_t>(unit >> 8));
  }
  return blob;
}

DeviceCredentials LoadOrCreateDeviceCredentials(std::u16string_view origin,
                                                DeviceCredentialStore& store) {
  if (std::optional<DeviceCredentials> stored = store.Read(origin)) return std::move(*stored);
  DeviceCredentials created;
  created.device_id = store.RandomHex(kDeviceIdBytes);
  created.token = store.RandomHex(kTokenBytes);
  store.Write(origin, created);
  return created;
}

}  // namespace varnel
