// The file-backed registry, event log and account rights under a temporary
// state root: keys by case-insensitive names, refused names, value reads
// with the caller's buffer size, enumeration to "no more items", tree
// deletion, a corrupt values file, one-line events.
#include <gtest/gtest.h>
#include <unistd.h>

#include <pwd.h>

#include <string>
#include <vector>

#include "platform/account_rights.h"
#include "platform/clock.h"
#include "platform/event_log.h"
#include "platform/registry.h"
#include "platform/state_root.h"
#include "support/pinned_time_zone.h"
#include "support/temp_dir.h"

namespace {

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override { SetStateRoot(tmp_.path); }
  void TearDown() override { SetStateRoot(""); }
  TempDir tmp_;
};

TEST_F(RegistryTest, KeysAreFoundWithoutRegardToCaseAndKeepTheirFirstSpelling) {
  ASSERT_EQ(0, RegCreateKey("SYSTEM\\Services\\Foo"));
  EXPECT_EQ(0, RegOpenKey("system\\SERVICES\\foo"));
  EXPECT_EQ(0, RegCreateKey("System\\services\\FOO\\Settings"));
  std::string name;
  EXPECT_EQ(0, RegEnumKey("system\\services", 0, name));
  EXPECT_EQ("Foo", name);
  EXPECT_EQ(kRegNoMoreItems, RegEnumKey("system\\services", 1, name));
  EXPECT_EQ(kRegNotFound, RegOpenKey("SYSTEM\\Other"));
}

TEST_F(RegistryTest, NamesThatCannotBeKeysAreRefused) {
  const char* bad[] = {"a/b", ".", "..", "a\\..\\b", "a\\\\b", "\\a"};
  for (const char* path : bad) EXPECT_EQ(kRegBadName, RegCreateKey(path)) << path;
  EXPECT_EQ(kRegBadName, RegCreateKey(std::string("a\0b", 3)));
  EXPECT_EQ(kRegBadName, RegCreateKey(std::string(256, 'k')));
  ASSERT_EQ(0, RegCreateKey("k"));
  EXPECT_EQ(kRegBadName, RegSetString("k", "a/b", REG_SZ, "x"));
  EXPECT_EQ(kRegBadType, RegSetValue("k", "v", 7, "x", 1));
  EXPECT_EQ(EINVAL, RegSetValue("k", "v", REG_DWORD, "xy", 2));
  EXPECT_EQ(kRegNotFound, RegSetString("missing", "v", REG_SZ, "x"));
}

TEST_F(RegistryTest, ValuesReadWithTheCallersBufferSize) {
  ASSERT_EQ(0, RegCreateKey("k"));
  ASSERT_EQ(0, RegSetString("k", "Listener Port", REG_SZ, "32100@mode"));
  ASSERT_EQ(0, RegSetDword("k", "Count", 7));
  ASSERT_EQ(0, RegSetString("k", "listener port", REG_EXPAND_SZ, "32000"));  // the same value, replaced
  const struct {
    const char* name;
    uint32_t room;
    int rc;
    uint32_t type;
    uint32_t size;
  } cases[] = {
      {"LISTENER PORT", 6, 0, REG_EXPAND_SZ, 6},  // exactly its length with the NUL
      {"Listener Port", 5, kRegMoreData, REG_EXPAND_SZ, 6},
      {"count", 4, 0, REG_DWORD, 4},
      {"nothing", 100, kRegNotFound, 0, 100},
  };
  for (const auto& c : cases) {
    char buf[100] = "untouched";
    uint32_t type = 0, size = c.room;
    EXPECT_EQ(c.rc, RegQueryValue("k", c.name, &type, buf, &size)) << c.name;
    EXPECT_EQ(c.type, type) << c.name;
    EXPECT_EQ(c.size, size) << c.name;
    if (c.rc == kRegMoreData) {
      EXPECT_STREQ("untouched", buf);
    }
  }
  std::vector<std::string> names;
  ASSERT_EQ(0, RegListValues("k", names));
  EXPECT_EQ((std::vector<std::string>{"Listener Port", "Count"}), names);
  EXPECT_EQ(0, RegDeleteValue("k", "COUNT"));
  EXPECT_EQ(kRegNotFound, RegDeleteValue("k", "count"));
}

TEST_F(RegistryTest, DeleteTreeGoesDepthFirstAndAKeyWithSubkeysStays) {
  for (const char* k : {"top\\a\\x", "top\\a\\y", "top\\b", "keep"}) ASSERT_EQ(0, RegCreateKey(k));
  ASSERT_EQ(0, RegSetString("top\\a\\x", "v", REG_SZ, "1"));
  EXPECT_EQ(kRegHasSubkeys, RegDeleteKey("top\\a"));
  EXPECT_EQ(0, RegDeleteTree("", "TOP"));
  EXPECT_EQ(kRegNotFound, RegOpenKey("top"));
  EXPECT_EQ(0, RegOpenKey("keep"));
  EXPECT_EQ(kRegNotFound, RegDeleteTree("", "top"));
}

TEST_F(RegistryTest, AValuesFileThatDoesNotParseIsReportedNotRead) {
  ASSERT_EQ(0, RegCreateKey("k"));
  ASSERT_EQ(0, RegSetString("k", "v", REG_SZ, "text"));
  // A length running past the end of the file.
  WriteWholeFile(tmp_.path + "registry/keys/k/values", std::string("\x01\x00\x00\x00v\x01\x00\x00\x00\xff\x00\x00\x00", 13));
  char buf[16];
  uint32_t size = sizeof buf;
  EXPECT_EQ(kRegCorrupt, RegQueryValue("k", "v", nullptr, buf, &size));
  EXPECT_EQ(kRegCorrupt, RegSetString("k", "w", REG_SZ, "x"));  // and is not overwritten
}

TEST_F(RegistryTest, EventsAreOneEscapedLineEach) {
  // The time is UTC whatever the zone.
  PinnedTimeZone zone(kZoneAheadOfUtc);
  SetClockOverride(1700000000);
  EXPECT_EQ("a\r\nb\r\n\r\n", RenderEventMessage("%1!s!%n%2!s!%n\r\n", {"a", "b"}));
  EXPECT_EQ("100% x", RenderEventMessage("100%% %1%3", {"x"}));
  ASSERT_EQ(0, ReportEvent("Svc", EVENTLOG_WARNING_TYPE, 0, 0, "%1!s!%n%2!s!", {"line\nbreak \\ here", ""}));
  ASSERT_EQ(0, ReportEvent("Svc", EVENTLOG_ERROR_TYPE, 0, 0, "%1", {"second"}));
  ClearClockOverride();
  EXPECT_EQ("2023-11-14T22:13:20Z warning Svc 0 0 line\\nbreak \\\\ here\\r\\n\n"
            "2023-11-14T22:13:20Z error Svc 0 0 second\n",
            ReadWholeFile(EventLogPath()));
}

TEST_F(RegistryTest, AccountRightsAreRecordedPerAccount) {
  struct passwd* pw = getpwuid(getuid());
  ASSERT_NE(nullptr, pw);
  std::string sid, again;
  ASSERT_EQ(0, LookupAccountName(pw->pw_name, sid));
  ASSERT_EQ(0, LookupAccountName(std::string("DOMAIN\\") + pw->pw_name, again));
  EXPECT_EQ(sid, again);
  EXPECT_EQ(ENOENT, LookupAccountName("no-such-user-here", again));
  ASSERT_EQ(0, LsaOpenPolicy());
  std::vector<std::string> rights;
  EXPECT_EQ(2, LsaEnumerateAccountRights(sid, rights));
  ASSERT_EQ(0, LsaAddAccountRights(sid, "SeServiceLogonRight"));
  EXPECT_EQ(0, LsaEnumerateAccountRights(sid, rights));
  EXPECT_EQ(std::vector<std::string>{"SeServiceLogonRight"}, rights);
}

}  // namespace
