#include "session/wire_messages.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "session/protocol_version.h"
#include "util/utf.h"

namespace varnel {
namespace {

// clang-format off
const LaunchOptions kOptions{.server = {}, .ixcompany = 2, .market_code = u"M01",
    .market_name = u"North", .store_code = u"S01", .store_name = u"Main \"Street\"",
    .vendor_code = u"V01", .vendor_name = u"Vendor", .program_name = u"Larkprint",
    .program_version = u"1.0", .requester = u"Ana", .reason = u"Printer",
    .support_ticket = u"123456"};
// clang-format on

TEST(ConnectMessage, TicketConnectOrLegacyConnect) {
  const DeviceCredentials credentials{u"0123456789abcdef0123456789abcdef", u"ff"};
  const std::u16string identity =
      u"\"device_id\":\"0123456789abcdef0123456789abcdef\",\"token\":\"ff\",\"market_code\":"
      u"\"M01\",\"store_code\":\"S01\",\"vendor_code\":\"V01\"}";
  EXPECT_EQ(
      BuildConnectMessage(kOptions, credentials).Serialize(),
      u"{\"type\":\"ticket_connect\",\"support_ticket\":\"123456\",\"ixcompany\":2," + identity);
  LaunchOptions legacy = kOptions;
  legacy.legacy_auto_connect = true;
  EXPECT_EQ(BuildConnectMessage(legacy, credentials).Serialize(),
            u"{\"type\":\"connect\"," + identity);
}

// The widest rectangle does not wrap around.
TEST(RequestMessage, CapabilitiesIdentityAndMonitorsInOrder) {
  const std::vector<MonitorInfo> monitors = {
      {u"\\\\.\\DISPLAY1", {0, 0, 1920, 1080}, true},
      {u"\\\\.\\DISPLAY2", {-2147483647 - 1, 0, 2147483647, 1440}, false},
  };
  EXPECT_EQ(
      BuildRequestMessage(kOptions, monitors).Serialize(),
      u"{\"type\":\"request\",\"ixcompany\":2,\"screen_preview\":true,\"multi_monitor\":true,"
      u"\"monitors\":[{\"id\":\"\\\\\\\\.\\\\DISPLAY1\",\"x\":0,\"y\":0,\"width\":1920,"
      u"\"height\":1080,\"primary\":true},{\"id\":\"\\\\\\\\.\\\\DISPLAY2\",\"x\":-2147483648,"
      u"\"y\":0,\"width\":4294967295,\"height\":1440,\"primary\":false}],"
      u"\"remote_input\":true,\"file_transfer\":true,\"market_code\":\"M01\","
      u"\"market_name\":\"North\",\"store_code\":\"S01\",\"store_name\":\"Main \\\"Street\\\"\","
      u"\"vendor_code\":\"V01\",\"vendor_name\":\"Vendor\",\"program_name\":\"Larkprint\","
      u"\"program_version\":\"1.0\",\"requester\":\"Ana\",\"reason\":\"Printer\"}");
}

TEST(ServerVersion, OnlyTheExactVersionHasNoWarningAndInvalidOnesAreUnknown) {
  EXPECT_EQ(CheckServerVersion(u"0.9.2").shown, u"0.9.2");
  EXPECT_EQ(CheckServerVersion(u"0.9.2").warning, u"");
  const std::u16string longest(64, u'9'), unknown = u"Unknown (older server)";
  const std::pair<std::u16string, std::u16string> mismatches[] = {
      {u"0.9.3", u"0.9.3"}, {u"0.9.2-rc+B", u"0.9.2-rc+B"},      {u"0.9.2.0", u"0.9.2.0"},
      {longest, longest},   {std::u16string(65, u'9'), unknown}, {u"0.9.2 ", unknown},
      {u"0.9_2", unknown},  {u"0.9.2\u00E9", unknown},           {u"", unknown}};
  for (const auto& [received, shown] : mismatches) {
    const ServerVersionCheck check = CheckServerVersion(received);
    EXPECT_EQ(check.shown, shown) << Utf16ToUtf8(received);
    EXPECT_EQ(check.warning, u"Version mismatch: server " + shown +
                                 u"; expected 0.9.2. Some features may not work correctly. Update "
                                 u"the server and client to matching releases.")
        << Utf16ToUtf8(received);
  }
}

TEST(StatusAndAnswers, FieldsInOrderAndAbsences) {
  EXPECT_EQ(BuildStatusMessage(false).Serialize(), u"{\"type\":\"status\"}");
  EXPECT_EQ(BuildStatusMessage(true).Serialize(), u"{\"type\":\"status\",\"input_error\":true}");
  EXPECT_EQ(BuildConsentMessage(u"c-1", false).Serialize(),
            u"{\"type\":\"consent\",\"consent_id\":\"c-1\",\"approved\":false,"
            u"\"input_approved\":false}");
  EXPECT_EQ(BuildControlConsentMessage(u"k-9", true).Serialize(),
            u"{\"type\":\"control_consent\",\"consent_id\":\"k-9\",\"approved\":true}");
}

TEST(PreviewMessages, PictureUnchangedOrFailure) {
  const PreviewFrame picture{u"AAAA", {}, 900, 720, u"\\\\.\\DISPLAY1", {}};
  const PreviewFrame failed{{}, u"Selected monitor is unavailable.", 0, 0, {}, {}};
  // The message names the selection it is given, not the monitor pictured.
  EXPECT_EQ(BuildInitialPreviewMessage(u"\\\\.\\DISPLAY2", 3, picture).Serialize(),
            u"{\"type\":\"initial_preview\",\"monitor_id\":\"\\\\\\\\.\\\\DISPLAY2\","
            u"\"monitor_revision\":3,\"capture_error\":\"\",\"jpeg\":\"AAAA\",\"width\":900,"
            u"\"height\":720}");
  EXPECT_EQ(BuildInitialPreviewMessage(u"", 0, failed).Serialize(),
            u"{\"type\":\"initial_preview\",\"monitor_id\":\"\",\"monitor_revision\":0,"
            u"\"capture_error\":\"capture_unavailable\"}");

  // The turn's status message keeps its monitors; the picture goes out unless it is the last one
  // sent (an empty last one means the viewer needs a full picture).
  auto frame = [](const PreviewFrame& shot, std::u16string_view last_sent, bool unchanged) {
    JsonObject message = BuildStatusMessage(false);
    AddMonitorList(message, std::vector<MonitorInfo>{{u"m", {0, 0, 1, 1}, true}});
    EXPECT_EQ(TurnIntoPreviewFrame(message, u"m", 2.5, shot, last_sent), unchanged);
    return message.Serialize();
  };
  const std::u16string start =
      u"{\"type\":\"preview_frame\",\"monitors\":[{\"id\":\"m\",\"x\":0,\"y\":0,\"width\":1,"
      u"\"height\":1,\"primary\":true}],\"monitor_id\":\"m\",\"monitor_revision\":2.5,";
  const std::u16string head = start + u"\"capture_error\":\"\",\"width\":900,\"height\":720,";
  EXPECT_EQ(frame(picture, u"BBBB", false), head + u"\"unchanged\":false,\"jpeg\":\"AAAA\"}");
  EXPECT_EQ(frame(picture, u"", false), head + u"\"unchanged\":false,\"jpeg\":\"AAAA\"}");
  EXPECT_EQ(frame(picture, u"AAAA", true), head + u"\"unchanged\":true}");
  EXPECT_EQ(frame(failed, u"", false), start + u"\"capture_error\":\"capture_unavailable\"}");

  for (JsonObject other : {BuildStatusMessage(true), BuildConsentMessage(u"c", true)}) {
    const std::u16string before = other.Serialize();
    EXPECT_THROW(TurnIntoPreviewFrame(other, u"", 0, picture, u""), std::logic_error);
    EXPECT_EQ(other.Serialize(), before);
  }
}

}  // namespace
}  // namespace varnel
