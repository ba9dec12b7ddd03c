#include "session/device_credentials.h"

#include <gtest/gtest.h>

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace varnel {
namespace {

const std::u16string kId = u"0123456789abcdef0123456789abcdef";
const std::u16string kToken = u"00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";

TEST(DeviceCredentialRulesTest, TargetNameHexAndTheStoredTokenForm) {
  EXPECT_EQ(CredentialTargetName(u"wss://server1:47812"), u"VarnelQuillory/v1/wss://server1:47812");
  const std::uint8_t bytes[] = {0x00, 0x0f, 0xa5, 0xff, 0x10};
  EXPECT_EQ(HexEncode(bytes), u"000fa5ff10");
  // The token's UTF-16 units, little-endian.
  const std::vector<std::uint8_t> blob = EncodeTokenBlob(kToken);
  ASSERT_EQ(blob.size(), kTokenBlobBytes);
  EXPECT_EQ(blob[0], '0');
  EXPECT_EQ(blob[1], 0);
  EXPECT_EQ(DecodeStoredCredentials(kId, blob), (DeviceCredentials{kId, kToken}));
}

TEST(DeviceCredentialRulesTest, OnlyTheExactFormIsValid) {
  const DeviceCredentials invalid[] = {
      {u"0123456789ABCDEF0123456789ABCDEF", kToken},
      {kId.substr(1), kToken},
      {kId + u"0", kToken},
      {kId.substr(1) + u"g", kToken},
      {kId.substr(1) + u"\u0660", kToken},  // a non-ASCII digit
      {kId, kToken.substr(1) + u"F"},
      {kId, kToken.substr(1)},
      // A unit whose high byte is set is not a hex digit even when its low byte is.
      {kId, kToken.substr(1) + char16_t{0x0161}},
  };
  for (const DeviceCredentials& pair : invalid) {
    EXPECT_FALSE(IsValidDeviceCredentials(pair));
    try {
      DecodeStoredCredentials(pair.device_id, EncodeTokenBlob(pair.token));
      ADD_FAILURE() << "accepted";
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(), "Stored device credentials are invalid.");
    }
  }
}

// The store's own failure, so a test can see that it reaches the caller unchanged.
struct StoreFailure {};

// An in-memory store; each random text is a run of one letter, 'b' for the first.
class FakeStore : public DeviceCredentialStore {
 public:
  std::optional<DeviceCredentials> Read(std::u16string_view origin) override {
    if (read_failure) throw StoreFailure{};
    const auto found = entries.find(std::u16string(origin));
    return found == entries.end() ? std::nullopt : std::optional(found->second);
  }
  void Write(std::u16string_view origin, const DeviceCredentials& credentials) override {
    if (write_failure) throw StoreFailure{};
    entries[std::u16string(origin)] = credentials;
  }
  std::u16string RandomHex(std::size_t byte_count) override {
    return std::u16string(2 * byte_count, static_cast<char16_t>(u'a' + ++randoms));
  }

  std::map<std::u16string, DeviceCredentials> entries;
  int randoms = 0;
  bool read_failure = false;
  bool write_failure = false;
};

TEST(LoadOrCreateDeviceCredentialsTest, MakesAndKeepsOneIdentityPerOrigin) {
  FakeStore store;
  const DeviceCredentials first = LoadOrCreateDeviceCredentials(u"ws://localhost:1", store);
  EXPECT_EQ(first, (DeviceCredentials{std::u16string(32, u'b'), std::u16string(64, u'c')}));
  EXPECT_EQ(store.entries.at(u"ws://localhost:1"), first);
  EXPECT_EQ(LoadOrCreateDeviceCredentials(u"ws://localhost:1", store), first);
  EXPECT_EQ(LoadOrCreateDeviceCredentials(u"ws://localhost:2", store).device_id,
            std::u16string(32, u'd'));
}

// A failed read makes nothing; an identity that could not be saved is never handed out.
TEST(LoadOrCreateDeviceCredentialsTest, AStoreFailureEndsTheCallWithNothingHandedOut) {
  FakeStore store;
  store.read_failure = true;
  EXPECT_THROW(LoadOrCreateDeviceCredentials(u"o", store), StoreFailure);
  EXPECT_EQ(store.randoms, 0);
  store.read_failure = false;
  store.write_failure = true;
  EXPECT_THROW(LoadOrCreateDeviceCredentials(u"o", store), StoreFailure);
}

}  // namespace
}  // namespace varnel
