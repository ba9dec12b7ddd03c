#include "session/device_credentials_win.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "util/wide_win.h"

namespace varnel {
namespace {

// Every test works on origins of its own and deletes their entries afterwards, so runs and
// parallel tests never see each other's identities.
class DeviceCredentialsTest : public ::testing::Test {
 protected:
  ~DeviceCredentialsTest() override {
    for (const auto& origin : origins_)
      CredDeleteW(Wide(CredentialTargetName(origin)), CRED_TYPE_GENERIC, 0);
  }

  std::u16string Origin(const std::u16string& scheme, int port) {
    static int counter = 0;
    const std::string host = "test-" + std::to_string(GetCurrentProcessId()) + "-" +
                             std::to_string(GetTickCount64()) + "-" + std::to_string(++counter);
    const std::string port_text = std::to_string(port);
    origins_.push_back(scheme + u"://" + std::u16string(host.begin(), host.end()) + u":" +
                       std::u16string(port_text.begin(), port_text.end()));
    return origins_.back();
  }

  static LaunchOptions OptionsFor(const std::u16string& origin) {
    LaunchOptions options;
    options.server.origin = origin;
    return options;
  }

  struct RawEntry {
    std::u16string user_name;
    std::vector<std::uint8_t> blob;
    bool operator==(const RawEntry&) const = default;
  };

  // The entry as stored (read as a generic one), which is always kept for this machine.
  static std::optional<RawEntry> ReadRaw(const std::u16string& origin) {
    CREDENTIALW* raw = nullptr;
    if (!CredReadW(Wide(CredentialTargetName(origin)), CRED_TYPE_GENERIC, 0, &raw)) {
      return std::nullopt;
    }
    const StoredCredential owned(raw);
    const CREDENTIALW& credential = *owned.get();
    EXPECT_EQ(credential.Persist, static_cast<DWORD>(CRED_PERSIST_LOCAL_MACHINE));
    return RawEntry{
        credential.UserName ? FromWide(credential.UserName) : u"",
        {credential.CredentialBlob, credential.CredentialBlob + credential.CredentialBlobSize}};
  }

  std::vector<std::u16string> origins_;
};

TEST_F(DeviceCredentialsTest, FirstRunWritesTheEntryAndLaterRunsReturnIt) {
  const std::u16string origin = Origin(u"wss", 47812);
  EXPECT_EQ(ReadDeviceCredentials(origin), std::nullopt);

  const DeviceCredentials first = LoadOrCreateDeviceCredentials(OptionsFor(origin));
  EXPECT_TRUE(IsValidDeviceCredentials(first));
  // Fresh randomness each time; the generator refuses an empty buffer, the function does not.
  EXPECT_NE(RandomHex(32), RandomHex(32));
  EXPECT_EQ(RandomHex(0), u"");

  // 128 bytes, little-endian units
  EXPECT_EQ(ReadRaw(origin), (RawEntry{first.device_id, EncodeTokenBlob(first.token)}));

  EXPECT_EQ(LoadOrCreateDeviceCredentials(OptionsFor(origin)), first);
  EXPECT_EQ(ReadDeviceCredentials(origin), first);
}

// Which pairs are valid is device_credentials_test's; here: a blob of the wrong size and an entry
// without a user name, as only the Credential Manager hands them out.
TEST_F(DeviceCredentialsTest, AnInvalidEntryIsReportedAndLeftAsItWas) {
  const std::vector<std::uint8_t> valid_blob = EncodeTokenBlob(std::u16string(64, u'7'));
  const std::u16string valid_id = u"0123456789abcdef0123456789abcdef";
  for (const std::size_t size : {std::size_t{127}, std::size_t{130}, std::size_t{0}}) {
    std::vector<std::uint8_t> blob = valid_blob;
    blob.resize(size ? size : blob.size(), '7');
    const std::u16string user_name = size ? valid_id : u"";
    const std::u16string origin = Origin(u"wss", 443);
    WriteStoredCredentials(origin, user_name, blob);
    for (int attempt = 0; attempt < 2; ++attempt) {
      try {
        LoadOrCreateDeviceCredentials(OptionsFor(origin));
        ADD_FAILURE() << "an invalid entry was accepted";
      } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Stored device credentials are invalid.");
      }
    }
    EXPECT_EQ(ReadRaw(origin), (RawEntry{user_name, blob}));
  }
}

}  // namespace
}  // namespace varnel
