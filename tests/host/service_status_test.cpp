// The service status and event log in the console, the error texts, the
// rights' counted strings, and the service-mode registry reads of the start-up.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "foundation/settings/server_settings.h"
#include "host/registry_settings.h"
#include "host/run_server.h"
#include "host/service/service_frame.h"
#include "host/service/service_status.h"
#include "platform/errors.h"
#include "platform/registry.h"
#include "platform/state_root.h"
#include "platform/clock.h"
#include "support/pinned_time_zone.h"
#include "support/temp_dir.h"

namespace {

TEST(ServiceEventLog, ConsoleLinesByPrefixAndTheSavedError) {
  g_debugFlag = 1;
  const struct {
    const char* id;
    void (*log)();
    int lastError;
    const char* out;
    int saved;
  } cases[] = {
      {"-%s", [] { LogServiceEvent("-%s", "text"); }, 0, "text\n", 0},
      {"information", [] { LogServiceEvent("-plain"); }, 5, "plain\n", 5},  // no second line
      {"error", [] { LogServiceEvent("!failed"); }, 5, "failed\nGetLastError() returned 5 - Input/output error\n", 5},
      {"warning", [] { LogServiceEvent("?warned"); }, 13, "warned\nGetLastError() returned 13 - Permission denied\n", 13},
      {"'=': no error", [] { LogServiceEvent("=!failed"); }, 5, "failed\n", 0},
      {"no prefix", [] { LogServiceEvent("Torvane service stopped"); }, 2, "Torvane service stopped\n", 2},
      {"client text is no format", [] { LogServiceEvent("-%s", "%d%s"); }, 0, "%d%s\n", 0},
  };
  for (const auto& c : cases) {
    testing::internal::CaptureStderr();
    SetLastError(c.lastError);
    c.log();
    EXPECT_EQ(c.out, testing::internal::GetCapturedStderr()) << c.id;
    EXPECT_EQ(c.saved, GetSavedError()) << c.id;
  }
  EXPECT_TRUE(ReportServiceStatus(SERVICE_RUNNING, 0, 3000));
  g_debugFlag = 0;
}

TEST(ServiceEventLog, ErrorTexts) {
  EXPECT_STREQ("Permission denied", FormatErrorText(EACCES));
  char buf[256];
  SetLastError(ENOENT);
  EXPECT_STREQ("No such file or directory (0x2)", FormatLastErrorText(buf, sizeof buf));
  SetLastError(ENOENT);
  EXPECT_STREQ("", FormatLastErrorText(buf, 25 + 13));  // text plus 14 does not fit
  SetLastError(ENOENT);
  EXPECT_STREQ("No such file or directory (0x2)", FormatLastErrorText(buf, 25 + 14));
}

TEST(ServiceFrameLines, TimeStampPrefixInLocalTime) {
  PinnedTimeZone zone(kZoneAheadOfUtc);
  SetClockOverride(1700000000);  // 2023-11-14 22:13:20 UTC
  testing::internal::CaptureStdout();
  PrintTimeStampPrefix();
  EXPECT_EQ("15/11/23 11:13:20: ", testing::internal::GetCapturedStdout());
  ClearClockOverride();
  EXPECT_EQ(0, ServiceNoOp());
}

TEST(LsaStrings, MakeAndCompare) {
  LsaUnicodeString a, b, c;
  EXPECT_EQ(0, MakeLsaString(nullptr, u"x"));
  EXPECT_EQ(1, MakeLsaString(&a, kServiceLogonRight));
  EXPECT_EQ(38, a.Length);
  EXPECT_EQ(40, a.MaximumLength);
  std::u16string same = u"SeServiceLogonRight";
  MakeLsaString(&b, same.c_str());
  MakeLsaString(&c, u"SeServiceLogonRighT");
  EXPECT_TRUE(LsaStringsEqual(&a, &b));
  EXPECT_FALSE(LsaStringsEqual(&a, &c));
  EXPECT_TRUE(LsaStringsEqual(nullptr, nullptr));
  EXPECT_FALSE(LsaStringsEqual(&a, nullptr));
  std::u16string tooLong(32767, u'x');
  EXPECT_EQ(0, MakeLsaString(&c, tooLong.c_str()));
  testing::internal::CaptureStdout();
  DumpLsaString(&a, "right");
  EXPECT_EQ("right: [SeServiceLogonRight] (len=19) size=38 max=40\n", testing::internal::GetCapturedStdout());
}

class RegistrySettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetStateRoot(tmp_.path);
    ResetServerSettings();
    GetServiceIdentity().serviceName = "Svc";
    g_serviceMode = 1;
    ASSERT_EQ(0, RegCreateKey(key_));
  }
  void TearDown() override {
    g_serviceMode = 0;
    GetServiceIdentity() = ServiceIdentity();
    ResetServerSettings();
    SetStateRoot("");
  }
  TempDir tmp_;
  const std::string key_ = "SYSTEM\\CurrentControlSet\\Services\\Svc\\Settings";
};

TEST_F(RegistrySettingsTest, ValuesReadInServiceModeOnly) {
  ASSERT_EQ(0, RegSetString(key_, "Listener Port", REG_SZ, "32100@mode"));
  ASSERT_EQ(0, RegSetString(key_, "LogSlotOperations", REG_SZ, "1"));
  ASSERT_EQ(0, RegSetString(key_, "HomeDir", REG_SZ, "/srv/torvane"));
  const struct {
    const char* slots;  // nullptr: no value
    int32_t want;
  } cases[] = {{nullptr, 512}, {"100", 512}, {"1024", 1024}, {"-5", 512}, {"123456789", 123456789},
               {"1234567890", 512}};  // ten digits and the NUL: longer than the buffer, not read
  for (const auto& c : cases) {
    RegDeleteValue(key_, "LogSlots");
    if (c.slots != nullptr) {
      ASSERT_EQ(0, RegSetString(key_, "LogSlots", REG_SZ, c.slots));
    }
    std::string port;
    EXPECT_EQ(c.want, ReadRegistrySettings(&port)) << (c.slots ? c.slots : "none");
    EXPECT_EQ("32100", port);
  }
  EXPECT_EQ(1, GetServerSettings().logSlotOperations);
  EXPECT_STREQ("/srv/torvane/", GetServerSettings().homeDirectory);

  ResetServerSettings();
  g_serviceMode = 0;
  std::string port = "x";
  EXPECT_EQ(512, ReadRegistrySettings(&port));
  EXPECT_EQ("", port);
  EXPECT_STREQ("./", GetServerSettings().homeDirectory);
}

// The port a service starts on: the command line's word, else the
// "Listener Port" value, else 32000; an empty value (or a port mode alone)
// gives 32000, not the port 0 its number would be.
TEST_F(RegistrySettingsTest, AnEmptyListenerPortValueGivesTheDefaultPort) {
  const struct {
    const char* value;  // nullptr: no value
    const char* word;   // the command line's port word, nullptr: none
    int32_t port;
  } cases[] = {
      {"", nullptr, 32000},        {"@mode", nullptr, 32000}, {nullptr, nullptr, 32000},
      {"32100@mode", nullptr, 32100}, {"", "0", 0},          {"32100", "32200", 32200},
  };
  for (const auto& c : cases) {
    const std::string what = std::string(c.value ? c.value : "(none)") + " / " + (c.word ? c.word : "(none)");
    RegDeleteValue(key_, "Listener Port");
    if (c.value != nullptr) {
      ASSERT_EQ(0, RegSetString(key_, "Listener Port", REG_SZ, c.value));
    }
    std::string registryPort;
    ReadRegistrySettings(&registryPort);
    std::vector<const char*> argv = {"Svc"};
    if (c.word != nullptr) argv.push_back(c.word);
    CommandLine cl = ParseCommandLine(static_cast<int>(argv.size()), argv.data());
    int32_t port = -1;
    EXPECT_TRUE(ParseListenerPort(ListenerPortText(cl, registryPort), &port)) << what;
    EXPECT_EQ(c.port, port) << what;
  }
}

}  // namespace
