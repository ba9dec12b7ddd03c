// The device identity kept in the Credential Manager, its randomness from BCrypt.
#include "session/device_credentials_win.h"

#include <bcrypt.h>

#include <limits>
#include <span>

#include "util/system_library_win.h"
#include "util/wide_win.h"

namespace varnel {
namespace {

// bcrypt.dll is not on the known-library list: from the system folder only. Null, with the
// loader's reason in `error`, when it cannot be used.
decltype(&::BCryptGenRandom) GenRandom(DWORD& error) noexcept {
  static SystemLibrary library(L"bcrypt.dll");
  static decltype(&::BCryptGenRandom) generate = nullptr;
  static const bool found = library.Find(generate, "BCryptGenRandom");
  error = found ? ERROR_SUCCESS : library.Error();
  return generate;
}

class CredentialManagerStore final : public DeviceCredentialStore {
 public:
  std::optional<DeviceCredentials> Read(std::u16string_view origin) override {
    return ReadDeviceCredentials(origin);
  }

  void Write(std::u16string_view origin, const DeviceCredentials& credentials) override {
    WriteStoredCredentials(origin, credentials.device_id, EncodeTokenBlob(credentials.token));
  }

  std::u16string RandomHex(std::size_t byte_count) override {
    return varnel::RandomHex(byte_count);
  }
};

}  // namespace

void WriteStoredCredentials(std::u16string_view origin, std::u16string user_name,
                            std::vector<std::uint8_t> blob) {
  std::u16string target = CredentialTargetName(origin);
  CREDENTIALW credential{};
  credential.Type = CRED_TYPE_GENERIC;
  credential.TargetName = reinterpret_cast<LPWSTR>(target.data());
  credential.UserName = reinterpret_cast<LPWSTR>(user_name.data());
  credential.CredentialBlobSize = static_cast<DWORD>(blob.size());
  credential.CredentialBlob = blob.data();
  credential.Persist = CRED_PERSIST_LOCAL_MACHINE;
  if (!CredWriteW(&credential, 0)) {
    ThrowLastError("Unable to save device credentials in Windows Credential Manager.");
  }
}

std::optional<DeviceCredentials> ReadDeviceCredentials(std::u16string_view origin) {
  const std::u16string target = CredentialTargetName(origin);
  CREDENTIALW* raw = nullptr;
  if (!CredReadW(Wide(target), CRED_TYPE_GENERIC, 0, &raw)) {
    const DWORD error = GetLastError();
    if (error == ERROR_NOT_FOUND) return std::nullopt;
    throw PlatformError("Unable to read Windows Credential Manager.", error);
  }
  const StoredCredential credential(raw);
  const CREDENTIALW& entry = *credential.get();
  const std::u16string user_name =
      entry.UserName != nullptr ? FromWide(entry.UserName) : std::u16string();
  const std::span<const std::uint8_t> blob(
      entry.CredentialBlob, entry.CredentialBlob != nullptr ? entry.CredentialBlobSize : 0);
  return DecodeStoredCredentials(user_name, blob);
}

std::u16string RandomHex(std::size_t byte_count) {
  if (byte_count > std::numeric_limits<ULONG>::max()) {
    throw PlatformError("Unable to generate device credentials.", ERROR_INVALID_PARAMETER);
  }
  std::vector<std::uint8_t> bytes(byte_count);
  if (bytes.empty()) return {};  // the generator refuses an empty buffer
  DWORD error = ERROR_SUCCESS;
  const auto generate = GenRandom(error);
  // Without a generator no credentials can be made: the credential store's failure.
  if (generate == nullptr) throw PlatformError("Unable to generate device credentials.", error);
  const NTSTATUS status = generate(nullptr, bytes.data(), static_cast<ULONG>(bytes.size()),
                                   BCRYPT_USE_SYSTEM_PREFERRED_RNG);
  if (status < 0) {
    throw PlatformError("Unable to generate device credentials.",
                        static_cast<std::uint32_t>(status));
  }
  return HexEncode(bytes);
}

DeviceCredentials LoadOrCreateDeviceCredentials(const LaunchOptions& options) {
  CredentialManagerStore store;
  return LoadOrCreateDeviceCredentials(options.server.origin, store);
}

}  // namespace varnel
