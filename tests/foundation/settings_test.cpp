// Server settings: defaults and home-directory normalisation.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "foundation/result_codes.h"
#include "foundation/settings/server_settings.h"

namespace {

TEST(ServerSettings, DefaultsWhenNothingConfigured) {
  ResetServerSettings();
  const ServerSettings& s = GetServerSettings();
  EXPECT_EQ(s.listenerPort, 32000);
  EXPECT_STREQ(s.homeDirectory, "./");
  EXPECT_EQ(s.logSlotCount, 512);
  EXPECT_EQ(s.logSlotOperations, 0);
  EXPECT_EQ(s.internalVersion, 10);
  EXPECT_EQ(s.usersFilePath, "./users.xml");
  EXPECT_STREQ(GetVersionText(), "5.0");
  EXPECT_STREQ(GetBuildText(), "000.001");
}

TEST(ServerSettings, HomeDirectoryNormalised) {
  struct Case {
    const char* given;
    const char* stored;
  } cases[] = {{"h", "h/"}, {"", "./"}, {nullptr, "./"}, {"/srv/torvane/", "/srv/torvane/"}};
  for (const Case& c : cases) {
    ResetServerSettings();
    ASSERT_EQ(SetHomeDirectory(c.given), FR_OK) << (c.given ? c.given : "(null)");
    EXPECT_STREQ(GetServerSettings().homeDirectory, c.stored);
    EXPECT_EQ(GetServerSettings().usersFilePath, std::string(c.stored) + "users.xml");
  }
}

TEST(ServerSettings, HomeDirectoryThatWouldNotFitIsRefused) {
  ResetServerSettings();
  std::string fits(1022, 'a');  // with the separator: 1023 characters and the NUL
  EXPECT_EQ(SetHomeDirectory(fits.c_str()), FR_OK);
  EXPECT_EQ(strlen(GetServerSettings().homeDirectory), 1023u);
  std::string tooLong(1023, 'b');
  EXPECT_EQ(SetHomeDirectory(tooLong.c_str()), FR_INVALID_PARAMETER);
  EXPECT_EQ(GetServerSettings().homeDirectory[0], 'a');
}

TEST(ServerSettings, LogSlotsBelowMinimumRaised) {
  ResetServerSettings();
  SetLogSlotCount(100);
  EXPECT_EQ(GetServerSettings().logSlotCount, 512);
  SetLogSlotCount(2048);
  EXPECT_EQ(GetServerSettings().logSlotCount, 2048);
}

TEST(ServerSettings, VersionMarkersStayInTheImage) {
  // The marker and the text are one array, so a search of the binary finds both.
  EXPECT_STREQ(kVersionString, "VeRsIoN_StRiNg:5.0");
  EXPECT_STREQ(kBuildString, "BuIlDnO_StRiNg:000.001");
  // And the linked program carries each marker directly followed by its text.
  std::ifstream self("/proc/self/exe", std::ios::binary);
  ASSERT_TRUE(self.good());
  std::ostringstream bytes;
  bytes << self.rdbuf();
  const std::string image = bytes.str();
  EXPECT_NE(image.find(std::string("VeRsIoN_StRiNg:5.0", sizeof "VeRsIoN_StRiNg:5.0")), std::string::npos);
  EXPECT_NE(image.find(std::string("BuIlDnO_StRiNg:000.001", sizeof "BuIlDnO_StRiNg:000.001")), std::string::npos);
}

}  // namespace
