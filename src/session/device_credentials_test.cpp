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

std::string FailureOf(const DeviceCredentials& credentials) {
  const std::vector<std::uint8_t> blob = EncodeTokenBlob(credentials.token);
  try {
    DecodeStoredCredentials(credentials.device_id, blob);
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "(accepted)";
}

TEST(DeviceCredentialRulesTest, TargetNameAndHexForm) {
  EXPECT_EQ(CredentialTargetName(u"wss://server1:47812"), u"VarnelQuillory/v1/wss://server1:47812");
  const std::uint8_t bytes[] = {0x00, 0x0f, 0xa5, 0xff, 0x10};
  EXPECT_EQ(HexEncode(bytes), u"000fa5ff10");
  EXPECT_EQ(HexEncode({}), u"");
}

TEST(DeviceCredentialRulesTest, TheTokenIsStoredAsLittleEndianUnits) {
  const std::vector<std::uint8_t> blob = EncodeTokenBlob(kToken);
  ASSERT_EQ(blob.size(), kTokenBlobBytes);
  EXPECT_EQ(blob[0], '0');
  EXPECT_EQ(blob[1], 0);
  EXPECT_EQ(blob[127], 0);
  EXPECT_EQ(DecodeStoredCredentials(kId, blob), (DeviceCredentials{kId, kToken}));
}

TEST(DeviceCredentialRulesTest, OnlyTheExactFormIsValid) {
  EXPECT_EQ(FailureOf({kId, kToken}), "(accepted)");
  const std::string invalid = "Stored device credentials are invalid.";
  std::u16string upper_id = u"0123456789ABCDEF0123456789ABCDEF";
  EXPECT_EQ(FailureOf({upper_id, kToken}), invalid);
  EXPECT_EQ(FailureOf({kId.substr(1), kToken}), invalid);
  EXPECT_EQ(FailureOf({kId + u"0", kToken}), invalid);
  EXPECT_EQ(FailureOf({u"", kToken}), invalid);
  EXPECT_EQ(FailureOf({kId.substr(1) + u"g", kToken}), invalid);
  EXPECT_EQ(FailureOf({kId.substr(1) + u"\u0660", kToken}), invalid);  // a non-ASCII digit
  EXPECT_EQ(FailureOf({kId, kToken.substr(1) + u"F"}), invalid);
  EXPECT_EQ(FailureOf({kId, kToken.substr(1) + u" "}), invalid);
  // A unit whose high byte is set is not a hex digit even when its low byte is.
  EXPECT_EQ(FailureOf({kId, kToken.substr(1) + char16_t{0x0161}}), invalid);
}

TEST(DeviceCredentialRulesTest, ABlobOfAnyOtherSizeLeavesTheTokenEmpty) {
  std::vector<std::uint8_t> blob = EncodeTokenBlob(kToken);
  for (std::size_t size : {0, 2, 126, 127, 129, 130, 256}) {
    std::vector<std::uint8_t> resized = blob;
    resized.resize(size, '0');
    EXPECT_THROW(DecodeStoredCredentials(kId, resized), std::runtime_error) << size;
  }
}

// The store's own failure, so a test can see that it reaches the caller unchanged.
struct StoreFailure {};

// An in-memory store that records what was asked of it.
class FakeStore : public DeviceCredentialStore {
 public:
  std::optional<DeviceCredentials> Read(std::u16string_view origin) override {
    if (read_failure) throw StoreFailure{};
    const auto found = entries.find(std::u16string(origin));
    if (found == entries.end()) return std::nullopt;
    return found->second;
  }
  void Write(std::u16string_view origin, const DeviceCredentials& credentials) override {
    ++writes;
    if (write_failure) throw StoreFailure{};
    entries[std::u16string(origin)] = credentials;
  }
  std::u16string RandomHex(std::size_t byte_count) override {
    requested.push_back(byte_count);
    return std::u16string(2 * byte_count, static_cast<char16_t>(u'a' + requested.size()));
  }

  std::map<std::u16string, DeviceCredentials> entries;
  std::vector<std::size_t> requested;
  int writes = 0;
  bool read_failure = false;
  bool write_failure = false;
};

TEST(LoadOrCreateDeviceCredentialsTest, MakesAndKeepsOneIdentityPerOrigin) {
  FakeStore store;
  const DeviceCredentials first = LoadOrCreateDeviceCredentials(u"ws://localhost:1", store);
  EXPECT_EQ(store.requested, (std::vector<std::size_t>{16, 32}));  // the id first
  EXPECT_EQ(first, (DeviceCredentials{std::u16string(32, u'b'), std::u16string(64, u'c')}));
  EXPECT_EQ(store.entries.at(u"ws://localhost:1"), first);

  EXPECT_EQ(LoadOrCreateDeviceCredentials(u"ws://localhost:1", store), first);
  EXPECT_EQ(store.writes, 1);
  EXPECT_NE(LoadOrCreateDeviceCredentials(u"ws://localhost:2", store), first);
  EXPECT_EQ(store.writes, 2);
}

// A failed read makes nothing; an identity that could not be saved is never handed out, and the
// next attempt makes a new one rather than reusing it.
TEST(LoadOrCreateDeviceCredentialsTest, AStoreFailureEndsTheCallWithNothingHandedOut) {
  FakeStore store;
  store.read_failure = true;
  EXPECT_THROW(LoadOrCreateDeviceCredentials(u"o", store), StoreFailure);
  EXPECT_EQ(store.writes, 0);
  EXPECT_TRUE(store.requested.empty());

  store.read_failure = false;
  store.write_failure = true;
  EXPECT_THROW(LoadOrCreateDeviceCredentials(u"o", store), StoreFailure);
  store.write_failure = false;
  const DeviceCredentials saved = LoadOrCreateDeviceCredentials(u"o", store);
  EXPECT_EQ(store.requested.size(), 4u);
  EXPECT_EQ(saved.device_id, std::u16string(32, u'd'));
}

}  // namespace
}  // namespace varnel
