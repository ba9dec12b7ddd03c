#include "session/wire_messages.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

namespace varnel {
namespace {

LaunchOptions Options() {
  LaunchOptions options;
  options.ixcompany = 2;
  options.market_code = u"M01";
  options.market_name = u"North";
  options.store_code = u"S01";
  options.store_name = u"Main \"Street\"";
  options.vendor_code = u"V01";
  options.vendor_name = u"Vendor";
  options.program_name = u"Larkprint";
  options.program_version = u"1.0";
  options.requester = u"Ana";
  options.reason = u"Printer";
  options.support_ticket = u"123456";
  return options;
}

const DeviceCredentials kCredentials{u"0123456789abcdef0123456789abcdef", std::u16string(64, u'f')};

TEST(ConnectMessage, TicketConnectCarriesTicketAndCompany) {
  EXPECT_EQ(BuildConnectMessage(Options(), kCredentials).Serialize(),
            u"{\"type\":\"ticket_connect\",\"support_ticket\":\"123456\",\"ixcompany\":2,"
            u"\"device_id\":\"0123456789abcdef0123456789abcdef\",\"token\":\"" +
                std::u16string(64, u'f') +
                u"\",\"market_code\":\"M01\",\"store_code\":\"S01\",\"vendor_code\":\"V01\"}");
}

TEST(ConnectMessage, LegacyConnectHasNoTicketAndNoCompanyButTheRequestDoes) {
  LaunchOptions options = Options();
  options.legacy_auto_connect = true;
  const JsonObject connect = BuildConnectMessage(options, kCredentials);
  EXPECT_EQ(connect.GetStringOrEmpty(u"type"), u"connect");
  EXPECT_FALSE(connect.HasKey(u"support_ticket"));
  EXPECT_FALSE(connect.HasKey(u"ixcompany"));
  EXPECT_EQ(connect.GetStringOrEmpty(u"device_id"), kCredentials.device_id);
  EXPECT_EQ(BuildRequestMessage(options, {}).GetNumberOr(u"ixcompany", 0), 2);
}

TEST(RequestMessage, CapabilitiesIdentityAndMonitorsInOrder) {
  const std::vector<MonitorInfo> monitors = {
      {u"\\\\.\\DISPLAY1", {0, 0, 1920, 1080}, true},
      {u"\\\\.\\DISPLAY2", {-2560, 0, 0, 1440}, false},
  };
  EXPECT_EQ(
      BuildRequestMessage(Options(), monitors).Serialize(),
      u"{\"type\":\"request\",\"ixcompany\":2,\"screen_preview\":true,\"multi_monitor\":true,"
      u"\"monitors\":[{\"id\":\"\\\\\\\\.\\\\DISPLAY1\",\"x\":0,\"y\":0,\"width\":1920,"
      u"\"height\":1080,\"primary\":true},{\"id\":\"\\\\\\\\.\\\\DISPLAY2\",\"x\":-2560,"
      u"\"y\":0,\"width\":2560,\"height\":1440,\"primary\":false}],"
      u"\"remote_input\":true,\"file_transfer\":true,\"market_code\":\"M01\","
      u"\"market_name\":\"North\",\"store_code\":\"S01\",\"store_name\":\"Main \\\"Street\\\"\","
      u"\"vendor_code\":\"V01\",\"vendor_name\":\"Vendor\",\"program_name\":\"Larkprint\","
      u"\"program_version\":\"1.0\",\"requester\":\"Ana\",\"reason\":\"Printer\"}");
}

TEST(RequestMessage, EmptyTextsAreSentAndExtremeRectanglesDoNotWrap) {
  LaunchOptions options;  // company 1, empty identity
  const std::vector<MonitorInfo> monitors = {{u"odd", {-2147483647 - 1, 0, 2147483647, 1}, false}};
  const JsonObject request = BuildRequestMessage(options, monitors);
  EXPECT_TRUE(request.HasKey(u"reason"));
  EXPECT_EQ(request.GetStringOrEmpty(u"market_code"), u"");
  EXPECT_EQ(request.GetNumberOr(u"ixcompany", 0), 1);
  const JsonObject monitor = request.GetArrayOr(u"monitors", JsonArray::New()).begin()->AsObject();
  EXPECT_EQ(monitor.GetNumberOr(u"width", 0), 4294967295.0);
}

TEST(MonitorList, ReplacesAnEarlierList) {
  JsonObject status = BuildStatusMessage(false);
  AddMonitorList(status, std::vector<MonitorInfo>{{u"a", {}, true}, {u"b", {}, false}});
  AddMonitorList(status, std::vector<MonitorInfo>{{u"c", {0, 0, 800, 600}, true}});
  EXPECT_EQ(status.Serialize(),
            u"{\"type\":\"status\",\"monitors\":[{\"id\":\"c\",\"x\":0,\"y\":0,\"width\":800,"
            u"\"height\":600,\"primary\":true}]}");
}

TEST(ServerVersion, ExactMatchHasNoWarning) {
  const ServerVersionCheck check = CheckServerVersion(u"0.9.2");
  EXPECT_EQ(check.shown, u"0.9.2");
  EXPECT_EQ(check.warning, u"");
}

TEST(ServerVersion, InvalidVersionsAreShownAsUnknown) {
  const std::u16string unknown_warning =
      u"Version mismatch: server Unknown (older server); expected 0.9.2. Some features may not "
      u"work correctly. Update the server and client to matching releases.";
  for (const std::u16string& received :
       {std::u16string(u"0.9.2 "), std::u16string(u"0.9_2"), std::u16string(u""),
        std::u16string(u" 0.9.2"), std::u16string(u"0.9.2\u00E9"), std::u16string(65, u'1')}) {
    const ServerVersionCheck check = CheckServerVersion(received);
    EXPECT_EQ(check.shown, u"Unknown (older server)");
    EXPECT_EQ(check.warning, unknown_warning);
  }
}

TEST(ServerVersion, OtherValidVersionsAreShownAndNamedInTheWarning) {
  const ServerVersionCheck newer = CheckServerVersion(u"0.9.3");
  EXPECT_EQ(newer.shown, u"0.9.3");
  EXPECT_EQ(newer.warning,
            u"Version mismatch: server 0.9.3; expected 0.9.2. Some features may not work "
            u"correctly. Update the server and client to matching releases.");
  EXPECT_EQ(CheckServerVersion(u"0.9.2-rc+B").shown, u"0.9.2-rc+B");
  EXPECT_NE(CheckServerVersion(u"0.9.2-rc+B").warning, u"");
  EXPECT_NE(CheckServerVersion(u"0.9.2.0").warning, u"");  // not a prefix match
  const std::u16string longest(64, u'9');
  EXPECT_EQ(CheckServerVersion(longest).shown, longest);
}

TEST(InitialPreview, PictureAndFailure) {
  PreviewFrame picture;
  picture.jpeg = u"QUJD";
  picture.width = 1280;
  picture.height = 720;
  picture.monitor_id = u"\\\\.\\DISPLAY1";
  EXPECT_EQ(BuildInitialPreviewMessage(u"\\\\.\\DISPLAY2", 3, picture).Serialize(),
            u"{\"type\":\"initial_preview\",\"monitor_id\":\"\\\\\\\\.\\\\DISPLAY2\","
            u"\"monitor_revision\":3,\"capture_error\":\"\",\"jpeg\":\"QUJD\",\"width\":1280,"
            u"\"height\":720}");

  PreviewFrame failed;
  failed.error = u"Screen unavailable: unlock Windows or close the secure desktop.";
  EXPECT_EQ(BuildInitialPreviewMessage(u"", 0, failed).Serialize(),
            u"{\"type\":\"initial_preview\",\"monitor_id\":\"\",\"monitor_revision\":0,"
            u"\"capture_error\":\"capture_unavailable\"}");
}

TEST(StatusAndAnswers, FieldsAndAbsences) {
  EXPECT_EQ(BuildStatusMessage(false).Serialize(), u"{\"type\":\"status\"}");
  EXPECT_EQ(BuildStatusMessage(true).Serialize(), u"{\"type\":\"status\",\"input_error\":true}");
  EXPECT_EQ(BuildConsentMessage(u"c-1", true).Serialize(),
            u"{\"type\":\"consent\",\"consent_id\":\"c-1\",\"approved\":true,"
            u"\"input_approved\":true}");
  EXPECT_FALSE(BuildConsentMessage(u"c-1", false).GetBooleanOr(u"input_approved", true));
  EXPECT_EQ(BuildControlConsentMessage(u"k-9", true).Serialize(),
            u"{\"type\":\"control_consent\",\"consent_id\":\"k-9\",\"approved\":true}");
  EXPECT_EQ(BuildFileCancelMessage(u"t-5").Serialize(),
            u"{\"type\":\"file_cancel\",\"transfer_id\":\"t-5\"}");
}

class PreviewFrameMessage : public ::testing::Test {
 protected:
  PreviewFrameMessage() {
    picture.jpeg = u"AAAA";
    picture.width = 900;
    picture.height = 720;
    AddMonitorList(message, std::vector<MonitorInfo>{{u"m", {0, 0, 1, 1}, true}});
  }
  JsonObject message = BuildStatusMessage(false);
  PreviewFrame picture;
  const std::u16string monitors =
      u"\"monitors\":[{\"id\":\"m\",\"x\":0,\"y\":0,\"width\":1,\"height\":1,\"primary\":true}]";
};

TEST_F(PreviewFrameMessage, NewPictureIsSentInFullAndKeepsTheMonitors) {
  EXPECT_FALSE(TurnIntoPreviewFrame(message, u"m", 2.5, picture, u"BBBB"));
  EXPECT_EQ(message.Serialize(), u"{\"type\":\"preview_frame\"," + monitors +
                                     u",\"monitor_id\":\"m\",\"monitor_revision\":2.5,"
                                     u"\"capture_error\":\"\",\"width\":900,\"height\":720,"
                                     u"\"unchanged\":false,\"jpeg\":\"AAAA\"}");
}

TEST_F(PreviewFrameMessage, SamePictureIsUnchangedWithoutItsBytes) {
  EXPECT_TRUE(TurnIntoPreviewFrame(message, u"", 0, picture, u"AAAA"));
  EXPECT_EQ(message.Serialize(), u"{\"type\":\"preview_frame\"," + monitors +
                                     u",\"monitor_id\":\"\",\"monitor_revision\":0,"
                                     u"\"capture_error\":\"\",\"width\":900,\"height\":720,"
                                     u"\"unchanged\":true}");
}

TEST_F(PreviewFrameMessage, NoLastPictureMeansAFullOne) {
  EXPECT_FALSE(TurnIntoPreviewFrame(message, u"", 0, picture, u""));
  EXPECT_EQ(message.GetStringOrEmpty(u"jpeg"), u"AAAA");
}

TEST_F(PreviewFrameMessage, FailedCaptureHasNoPictureFields) {
  PreviewFrame failed;
  failed.error = u"Selected monitor is unavailable.";
  EXPECT_FALSE(TurnIntoPreviewFrame(message, u"gone", 7, failed, u""));
  EXPECT_EQ(message.Serialize(), u"{\"type\":\"preview_frame\"," + monitors +
                                     u",\"monitor_id\":\"gone\",\"monitor_revision\":7,"
                                     u"\"capture_error\":\"capture_unavailable\"}");
}

TEST_F(PreviewFrameMessage, OnlyAPlainStatusMessageTurnsIntoAFrame) {
  JsonObject with_error = BuildStatusMessage(true);
  EXPECT_THROW(TurnIntoPreviewFrame(with_error, u"", 0, picture, u""), std::logic_error);
  JsonObject consent = BuildConsentMessage(u"c", true);
  EXPECT_THROW(TurnIntoPreviewFrame(consent, u"", 0, picture, u""), std::logic_error);
  EXPECT_EQ(consent.GetStringOrEmpty(u"type"), u"consent");
}

}  // namespace
}  // namespace varnel
