#pragma once
// The device identity in the Windows Credential Manager, made from BCryptGenRandom. Failures are
// PlatformError (a std::runtime_error) with one of "Unable to read Windows Credential Manager.",
// "Stored device credentials are invalid." (a std::runtime_error only: the platform did not
// fail), "Unable to generate device credentials." and
// "Unable to save device credentials in Windows Credential Manager.", keeping the platform's code.
#include <windows.h>
// Separated so that the formatter keeps <windows.h> first.
#include <wincred.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "launch/launch_options.h"
#include "session/device_credentials.h"
#include "util/unique_handle_win.h"

namespace varnel {

// A credential CredReadW handed out, freed with CredFree.
using StoredCredential = NullableHandle<CREDENTIALW*, &CredFree>;

DeviceCredentials LoadOrCreateDeviceCredentials(const LaunchOptions& options);
std::optional<DeviceCredentials> ReadDeviceCredentials(std::u16string_view origin);
std::u16string RandomHex(std::size_t byte_count);
// Writes the entry for `origin` exactly as given, unchecked: the store's own write, and the way
// tests plant an entry that another version or a tamperer could have left.
void WriteStoredCredentials(std::u16string_view origin, std::u16string user_name,
                            std::vector<std::uint8_t> blob);

}  // namespace varnel
