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
    DWORD type = 0;
    DWORD persist = 0;
    std::u16string user_name;
    std::vector<std::uint8_t> blob;
  };

  static std::optional<RawEntry> ReadRaw(const std::u16string& origin) {
    CREDENTIALW* raw = nullptr;
    if (!CredReadW(Wide(CredentialTargetName(origin)), CRED_TYPE_GENERIC, 0, &raw)) {
      return std::nullopt;
    }
    const StoredCredential owned(raw);
    const CREDENTIALW& credential = *owned.get();
    return RawEntry{
        credential.Type,
        credential.Persist,
        credential.UserName ? FromWide(credential.UserName) : u"",
        {credential.CredentialBlob, credential.CredentialBlob + credential.CredentialBlobSize}};
  }

  std::vector<std::u16string> origins_;
};

bool IsLowerHexOfLength(const std::u16string& text, std::size_t length) {
  return text.size() == length &&
         text.find_first_not_of(u"0123456789abcdef") == std::u16string::npos;
}

TEST_F(DeviceCredentialsTest, FirstRunWritesTheEntryAndLaterRunsReturnIt) {
  const std::u16string origin = Origin(u"wss", 47812);
  EXPECT_EQ(ReadDeviceCredentials(origin), std::nullopt);

  const DeviceCredentials first = LoadOrCreateDeviceCredentials(OptionsFor(origin));
  EXPECT_TRUE(IsLowerHexOfLength(first.device_id, 32));
  EXPECT_TRUE(IsLowerHexOfLength(first.token, 64));

  const std::optional<RawEntry> entry = ReadRaw(origin);
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->type, static_cast<DWORD>(CRED_TYPE_GENERIC));
  EXPECT_EQ(entry->persist, static_cast<DWORD>(CRED_PERSIST_LOCAL_MACHINE));
  EXPECT_EQ(entry->user_name, first.device_id);
  EXPECT_EQ(entry->blob, EncodeTokenBlob(first.token));  // 128 bytes, little-endian units

  EXPECT_EQ(LoadOrCreateDeviceCredentials(OptionsFor(origin)), first);
  EXPECT_EQ(ReadDeviceCredentials(origin), first);
}

TEST_F(DeviceCredentialsTest, AnInvalidEntryIsReportedAndLeftAsItWas) {
  const std::u16string valid_id = u"0123456789abcdef0123456789abcdef";
  const std::vector<std::uint8_t> valid_blob = EncodeTokenBlob(std::u16string(64, u'7'));
  struct Case {
    std::u16string user_name;
    std::vector<std::uint8_t> blob;
  };
  std::vector<std::uint8_t> short_blob = valid_blob;
  short_blob.resize(127);
  std::vector<std::uint8_t> long_blob = valid_blob;
  long_blob.resize(130, '7');
  const Case cases[] = {
      {u"0123456789ABCDEF0123456789ABCDEF", valid_blob},
      {valid_id, short_blob},
      {valid_id, long_blob},
      {valid_id, EncodeTokenBlob(std::u16string(63, u'7') + u"X")},
      {u"", valid_blob},
  };
  for (const Case& stored : cases) {
    const std::u16string origin = Origin(u"wss", 443);
    WriteStoredCredentials(origin, stored.user_name, stored.blob);
    for (int attempt = 0; attempt < 2; ++attempt) {
      try {
        LoadOrCreateDeviceCredentials(OptionsFor(origin));
        ADD_FAILURE() << "an invalid entry was accepted";
      } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Stored device credentials are invalid.");
      }
    }
    const std::optional<RawEntry> entry = ReadRaw(origin);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->user_name, stored.user_name);
    EXPECT_EQ(entry->blob, stored.blob);
  }
}

TEST(RandomHexTest, GivesFreshLowerCaseHexOfTwiceTheLength) {
  const std::u16string first = RandomHex(32);
  EXPECT_TRUE(IsLowerHexOfLength(first, 64));
  EXPECT_NE(RandomHex(32), first);
  EXPECT_EQ(RandomHex(0), u"");
}

}  // namespace
}  // namespace varnel
