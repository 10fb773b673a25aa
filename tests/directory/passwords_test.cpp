// Tests of the password state: the history depth of the rules text, the
// history kept by successive changes (shift, reuse refused, the date left as
// it was by a refused change), the legacy setter, the refusals that write
// nothing, and the start of the password clock.
#include "directory/passwords.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "config/config_model.h"
#include "config/param_tree.h"
#include "config/settings_api.h"
#include "config/store_file_state.h"
#include "directory/user_accessors.h"
#include "directory/user_records.h"
#include "directory/user_settings.h"
#include "directory/users_files.h"
#include "directory/users_tree.h"
#include "foundation/crypto/password_hash.h"
#include "foundation/result_codes.h"
#include "foundation/settings/server_settings.h"
#include "foundation/uid/node_registry.h"
#include "foundation/uid/uid_alloc.h"
#include "foundation/xml/xml_tree.h"
#include "platform/atomic_file.h"
#include "platform/clock.h"
#include "support/alloc_failure.h"
#include "support/directory_reset.h"
#include "support/temp_dir.h"

namespace {

// ---- History depth -----------------------------------------------------------------------

struct DepthCase {
  const char* rules;  // null: no rules text
  int32_t depth;
};

TEST(PWHistoryCount, ReadsTheNumberAfterTheFirstLowerCaseR) {
  const DepthCase cases[] = {
      {nullptr, 0},  {"", 0},         {"a90", 0},      {"a90r0", 0},     {"r3", 3},
      {"r-2", 0},    {"r 5", 5},      {"r\t7x", 7},    {"r+4", 4},       {"rx", 0},
      {"r", 0},      {"R5", 0},       {"a30r12q", 12}, {"xr3r7", 3},     {"r0012", 12},
      {"r2147483647", INT32_MAX},     {"r99999999999999999999", INT32_MAX},
      {"r-99999999999999999999", 0},
  };
  for (const DepthCase& c : cases) {
    EXPECT_EQ(GetPWHistoryCount(c.rules), c.depth) << (c.rules ? c.rules : "(none)");
  }
}

TEST(PasswordDates, NextDayBoundaryAndFormat) {
  const int64_t midnight = 0x5F5D6100;  // 2020-09-13 00:00:00 UTC
  EXPECT_EQ(NextDayBoundary(midnight), 0x5F5D6100u);
  EXPECT_EQ(NextDayBoundary(midnight + 1), 0x5F5EB280u);
  EXPECT_EQ(NextDayBoundary(midnight + 10 * 3600), 0x5F5EB280u);
  EXPECT_EQ(NextDayBoundary(midnight + 86399), 0x5F5EB280u);
  EXPECT_EQ(FormatPasswordDate(0x5F5EB280u), "5F5EB280");
  EXPECT_EQ(FormatPasswordDate(0xABCu), "00000ABC");
  EXPECT_EQ(PasswordHistoryPath(12), "Passwords\\Old\\PW12");
}

// ---- The store ---------------------------------------------------------------------------

// A bcrypt hash of `clear` at the lowest cost, so that history checks in
// these tests take milliseconds (each check runs at the stored hash's cost).
std::string CheapHash(const char* clear) {
  char setting[kPasswordFieldSize] = {};
  char hash[kPasswordFieldSize] = {};
  EXPECT_EQ(GenerateSalt(kBcryptMinCost, setting), 0);
  EXPECT_EQ(HashPasswordWithSalt(clear, setting, hash), 0);
  return hash;
}

// The hashes of p0..p4, made once.
const std::vector<std::string>& Hashes() {
  static const std::vector<std::string> hashes = {CheapHash("p0"), CheapHash("p1"), CheapHash("p2"),
                                                  CheapHash("p3"), CheapHash("p4")};
  return hashes;
}
const std::string& H(int i) { return Hashes()[static_cast<size_t>(i)]; }

const char kUserList[] =
    "<?xml version=\"1.0\"?>\n<USERLIST>\n"
    "<USER uid=\"00001001\" name=\"bob\"/>\n"
    "<USER uid=\"00001002\" name=\"adbob\"/>\n"
    "<USER uid=\"00001003\" name=\"carol\"/>\n"
    "<USER uid=\"00001004\" name=\"dave\"/>\n"
    "</USERLIST>";

// bob: password p2 (hash h2), history h1 at place 1 and h0 at place 2, dated,
// must change. carol: no date, a legacy entry at place 1, no MustChange.
// adbob: an Active Directory user without a date. dave: a date of 0 and no
// login section at all.
std::string BobFile() {
  return "<USER>\n<UID>00001001</UID>\n<USERNAME>bob</USERNAME>\n"
         "<PASSWORDV2>" + H(2) + "</PASSWORDV2>\n<ADUSER>0</ADUSER>\n<LEVEL>0</LEVEL>\n"
         "<USERDATA>\n<Live>\n<Torvane>\n<Passwords>\n"
         "<Date>5F000000</Date>\n<MustChange>1</MustChange>\n"
         "<Old>\n<PW1>" + H(1) + "</PW1>\n<PW2>" + H(0) + "</PW2>\n</Old>\n"
         "</Passwords>\n</Torvane>\n</Live>\n</USERDATA>\n</USER>\n";
}
const char kAdBobFile[] =
    "<USER>\n<UID>00001002</UID>\n<USERNAME>adbob</USERNAME>\n<ADUSER>1</ADUSER>\n<LEVEL>0</LEVEL>\n"
    "<USERDATA>\n<Live>\n<Torvane>\n<Passwords>\n</Passwords>\n</Torvane>\n</Live>\n</USERDATA>\n</USER>\n";
const char kCarolFile[] =
    "<USER>\n<UID>00001003</UID>\n<USERNAME>carol</USERNAME>\n<PASSWORD>0000ABCD</PASSWORD>\n"
    "<ADUSER>0</ADUSER>\n<LEVEL>0</LEVEL>\n"
    "<USERDATA>\n<Live>\n<Torvane>\n<Passwords>\n<Old>\n<PW1>0000ABCD</PW1>\n</Old>\n</Passwords>\n"
    "</Torvane>\n</Live>\n</USERDATA>\n</USER>\n";
const char kDaveFile[] =
    "<USER>\n<UID>00001004</UID>\n<USERNAME>dave</USERNAME>\n<ADUSER>0</ADUSER>\n<LEVEL>0</LEVEL>\n"
    "<USERDATA>\n<Live>\n<Torvane>\n<Passwords>\n<Date>00000000</Date>\n</Passwords>\n"
    "</Torvane>\n</Live>\n</USERDATA>\n</USER>\n";

constexpr int64_t kMidnight = 0x5F5D6100;          // 2020-09-13 00:00:00 UTC
constexpr int64_t kTenOClock = kMidnight + 36000;  // 10:00 that day

class PasswordsTest : public ::testing::Test {
 protected:
  TempDir home;

  void SetUp() override {
    ResetAll();
    SetClockOverride(kTenOClock);
    ASSERT_EQ(SetHomeDirectory(home.path.c_str()), 0);
    ASSERT_EQ(CreateConfigRoot(home.path.c_str()), 0);
    EnvironmentStruct* live = CreateEnvironment(GetConfigRoot(), "Live", 0);
    ASSERT_NE(live, nullptr);
    ASSERT_NE(AddApplication(live, "Torvane"), nullptr);

    std::filesystem::create_directories(home.File("users"));
    WriteWholeFile(home.File("userlist.xml"), kUserList);
    WriteWholeFile(UserFile(0x1001), BobFile());
    WriteWholeFile(UserFile(0x1002), kAdBobFile);
    WriteWholeFile(UserFile(0x1003), kCarolFile);
    WriteWholeFile(UserFile(0x1004), kDaveFile);
    ASSERT_EQ(ReadUsersV2(home.path.c_str()), 0);
    ASSERT_EQ(GetUserCount(), 4);
    // dave loses its login section in memory only, as a store edited by a
    // client could leave it (every save puts the section back).
    XMLNode* live4 = FindUserDataSection(FindUser("dave")->USERDATA, "Live");
    ASSERT_NE(live4, nullptr);
    DeleteXMLNode(live4);
  }
  void TearDown() override {
    EXPECT_EQ(CountUserNodeNameFaults(), 0u) << "the table of USER nodes by name is out of step with the tree";
    ResetAll();
  }

  static void ResetAll() {
    ResetDirectoryState();
  }

  std::string UserFile(UID uid) const { return UserFilePath(home.path, uid); }

  static void SetRules(const char* rules) {
    ASSERT_EQ(AddSetting("Live", "Torvane", kPWRulesPath, 0, PARAM_TYPE_STRING, -1, rules, std::strlen(rules) + 1),
              0);
  }

  // A login-section setting, or "<code N>".
  static std::string Read(const char* user, const std::string& path) {
    int rc = -1;
    const std::optional<std::string> value = GetUserSetting(user, "Live", "Torvane", path.c_str(), &rc);
    return rc == FR_OK ? value.value_or("<none>") : "<code " + std::to_string(rc) + ">";
  }
  static std::string Place(const char* user, int k) { return Read(user, PasswordHistoryPath(k)); }

  void Reload() {
    FreeUsersData();
    ASSERT_EQ(ReadUsersV2(home.path.c_str()), 0);
  }
};

// ---- The bcrypt setter and the history -----------------------------------------------------

// Successive changes of bob under r3, each step at its own time: what it
// answers, the three places after it, and the date it leaves.
struct HistoryStep {
  const char* what;
  int clear;        // the new password is p<clear>, hash h<clear>
  int skip;         // skip-history flag
  int expected;     // the answer
  int places[3];    // the hash index at places 1..3; -1: no such place
  int64_t at;       // the time of the step
  bool dateRenewed; // the date shows `at` afterwards (else the last one stays)
};

TEST_F(PasswordsTest, HistoryShiftsRefusesReuseAndKeepsTheDateOfARefusal) {
  SetRules("a90r3");
  const HistoryStep steps[] = {
      {"p3: shifts h1,h0 down", 3, 0, 0, {3, 1, 0}, kTenOClock + 1, true},
      {"p4: h0 falls off", 4, 0, 0, {4, 3, 1}, kTenOClock + 2, true},
      {"p1 is at place 3", 1, 0, FR_PASSWORD_REUSED, {4, 3, 1}, kTenOClock + 3, false},
      {"p4 is at place 1", 4, 0, FR_PASSWORD_REUSED, {4, 3, 1}, kTenOClock + 4, false},
      {"p0 fell off", 0, 0, 0, {0, 4, 3}, kTenOClock + 5, true},
      {"p3 again with the skip flag", 3, 1, 0, {3, 0, 4}, kTenOClock + 6, true},
  };
  std::string date = "5F000000";
  int current = 2;
  for (const HistoryStep& s : steps) {
    SCOPED_TRACE(s.what);
    SetClockOverride(s.at);
    const std::string clear = std::string("p").append(std::to_string(s.clear));
    EXPECT_EQ(SetUserPasswordV2("bob", H(s.clear).c_str(), s.skip, clear.c_str()), s.expected);
    if (s.expected == FR_OK) current = s.clear;
    if (s.dateRenewed) date = FormatPasswordDate(static_cast<uint32_t>(s.at));
    for (int k = 1; k <= 3; ++k) EXPECT_EQ(Place("bob", k), H(s.places[k - 1])) << "place " << k;
    EXPECT_EQ(Read("bob", kPasswordDateSetting), date);
    EXPECT_EQ(FindUser("bob")->PASSWORDV2.value_or(""), H(current));
  }
  EXPECT_EQ(Place("bob", 4), "<code 19>");  // nothing beyond the depth
  EXPECT_EQ(Read("bob", kMustChangePasswordSetting), "0");

  // Every step reached bob's own file.
  Reload();
  for (int k = 1; k <= 3; ++k) EXPECT_EQ(Place("bob", k), H(steps[5].places[k - 1]));
  EXPECT_EQ(Read("bob", kPasswordDateSetting), date);
  EXPECT_EQ(FindUser("bob")->PASSWORDV2.value_or(""), H(3));
  EXPECT_EQ(FindUser("bob")->PASSWORD, 0u);
}

TEST_F(PasswordsTest, RefusedChangeWritesNothing) {
  SetRules("r3");
  const std::string before = ReadWholeFile(UserFile(0x1001));
  SetClockOverride(kTenOClock + 100);
  EXPECT_EQ(SetUserPasswordV2("bob", H(1).c_str(), 0, "p1"), FR_PASSWORD_REUSED);
  EXPECT_EQ(ReadWholeFile(UserFile(0x1001)), before);
  EXPECT_EQ(Read("bob", kPasswordDateSetting), "5F000000");
  EXPECT_EQ(Read("bob", kMustChangePasswordSetting), "1");
}

// The setter by name and UID: a name that finds another user (the one
// checked before a wait deleted, the name given to a new user) writes nothing.
TEST_F(PasswordsTest, TheSetterByNameAndUIDWritesOnlyTheUserOfThatUID) {
  const std::string before = ReadWholeFile(UserFile(0x1001));
  EXPECT_EQ(SetUserPasswordV2OfUID("bob", 0x1003, H(2).c_str(), 1, "p2"), FR_USER_NOT_FOUND);
  EXPECT_EQ(SetUserPasswordV2OfUID("nobody", 0x1001, H(2).c_str(), 1, "p2"), FR_USER_NOT_FOUND);
  EXPECT_EQ(ReadWholeFile(UserFile(0x1001)), before);
  EXPECT_EQ(SetUserPasswordV2OfUID("BOB", 0x1001, H(2).c_str(), 1, "p2"), FR_OK);
  EXPECT_EQ(FindUser("bob")->PASSWORDV2, H(2));
}

TEST_F(PasswordsTest, WithoutAnRInTheRulesNothingIsComparedOrKept) {
  for (const char* rules : {"", "a90", "a90r0", "rq"}) {
    SCOPED_TRACE(rules);
    if (rules[0] != '\0') SetRules(rules);
    EXPECT_EQ(SetUserPasswordV2("bob", H(1).c_str(), 0, "p1"), 0);  // h1 is at place 1
    EXPECT_EQ(Place("bob", 1), H(1));
    EXPECT_EQ(Place("bob", 2), H(0));
    EXPECT_EQ(Place("bob", 3), "<code 19>");
  }
}

TEST_F(PasswordsTest, AHugeDepthVisitsOnlyThePlacesThatExist) {
  SetRules("r2147483647");
  EXPECT_EQ(SetUserPasswordV2("bob", H(3).c_str(), 0, "p3"), 0);
  EXPECT_EQ(Place("bob", 1), H(3));
  EXPECT_EQ(Place("bob", 2), H(1));
  EXPECT_EQ(Place("bob", 3), H(0));
  EXPECT_EQ(SetUserPasswordV2("bob", H(0).c_str(), 0, "p0"), FR_PASSWORD_REUSED);
}

TEST_F(PasswordsTest, PlacesBeyondTheDepthStayAndAreNotCompared) {
  SetRules("r1");
  // h0 sits at place 2, beyond the depth: reusing p0 is allowed and place 2
  // is left alone; place 1 is overwritten without a shift.
  EXPECT_EQ(SetUserPasswordV2("bob", H(0).c_str(), 0, "p0"), 0);
  EXPECT_EQ(Place("bob", 1), H(0));
  EXPECT_EQ(Place("bob", 2), H(0));
  EXPECT_EQ(SetUserPasswordV2("bob", H(4).c_str(), 0, "p4"), 0);
  EXPECT_EQ(Place("bob", 1), H(4));
  EXPECT_EQ(Place("bob", 2), H(0));
}

TEST_F(PasswordsTest, MustChangeIsClearedButNeverCreated) {
  EXPECT_EQ(SetUserPasswordV2("bob", H(3).c_str(), 0, "p3"), 0);
  EXPECT_EQ(Read("bob", kMustChangePasswordSetting), "0");
  EXPECT_EQ(SetUserPasswordV2("carol", H(3).c_str(), 0, "p3"), 0);
  EXPECT_EQ(Read("carol", kMustChangePasswordSetting), "<code 19>");
  EXPECT_EQ(Read("carol", kPasswordDateSetting), FormatPasswordDate(static_cast<uint32_t>(kTenOClock)));
  // The bcrypt change drops carol's legacy hash.
  EXPECT_EQ(FindUser("carol")->PASSWORD, 0u);
  EXPECT_EQ(FindUser("carol")->PASSWORDV2.value_or(""), H(3));
}

// A user added by a client starts from a deep copy of default_user's
// settings: its password state goes to its own settings and file, never to
// default_user's (which every later user would inherit).
TEST_F(PasswordsTest, AClientAddedUserKeepsItsPasswordStateToItself) {
  SetRules("r3");
  ASSERT_GE(AddUserFromClient("default_user", 0), 0);
  ASSERT_EQ(SetUserSettingCreate("default_user", "Live", "Torvane", kNeverExpiresPasswordSetting, "0"), 0);
  ASSERT_GE(AddUserFromClient("erin", 0), 0);
  ASSERT_EQ(SaveUsers(home.path.c_str(), "erin"), 0);

  EXPECT_EQ(SetUserPasswordV2("erin", H(1).c_str(), 0, "p1"), 0);
  EXPECT_EQ(SetUserPasswordV2("erin", H(1).c_str(), 0, "p1"), FR_PASSWORD_REUSED);
  EXPECT_EQ(Place("erin", 1), H(1));
  EXPECT_EQ(Read("erin", kPasswordDateSetting), FormatPasswordDate(static_cast<uint32_t>(kTenOClock)));
  EXPECT_EQ(Place("default_user", 1), "<code 19>");
  EXPECT_EQ(Read("default_user", kPasswordDateSetting), "<code 19>");

  ASSERT_GE(AddUserFromClient("frank", 0), 0);
  EXPECT_EQ(Place("frank", 1), "<code 19>");
  EXPECT_EQ(FindUser("frank")->PASSWORDV2.value_or(""), "");

  Reload();
  EXPECT_EQ(Place("erin", 1), H(1));
  EXPECT_EQ(Place("default_user", 1), "<code 19>");
}

// Memory running out at any one allocation of a password change, a setting
// that makes new nodes, or the start of the password clocks answers 1 (never
// an exception) and leaves no nameless node behind: every user still writes.
// (The saves answer 2 here: no home directory.)
TEST_F(PasswordsTest, RunningOutOfMemoryAnswersOneAndLeavesEveryUserWritable) {
  SetRules("r3");
  static std::string hash;  // made before the seam is on
  hash = H(3);
  struct Case {
    const char* what;
    int (*run)();
  };
  const Case cases[] = {
      {"bcrypt change", [] { return SetUserPasswordV2("bob", hash.c_str(), 0, "p3"); }},
      {"legacy change", [] { return SetUserPassword("carol", 0x1234, 0); }},
      {"setting with new nodes", [] { return SetUserSettingCreate("bob", "Live", "Torvane", "A\\B\\C", "v"); }},
      {"password clocks", [] { return InitPasswordDates(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    bool failed = true;
    for (long n = 0; failed && n < 100000; ++n) {
      Reload();
      GetServerSettings().homeDirectory[0] = '\0';  // the saves answer 2 at once: the change alone is tried
      int rc = -1;
      FailAllocationsAfter(n);
      try {
        rc = c.run();
      } catch (const std::bad_alloc&) {
        rc = -2;
      }
      failed = AllocationFailed();
      FailAllocationsAfter(-1);
      ASSERT_EQ(SetHomeDirectory(home.path.c_str()), 0);
      // 1, or the save's 2 when the step that met the failure is one whose
      // outcome the operation passes over (a login-section write of a
      // password change); never an exception.
      if (failed && rc != FR_INVALID_PARAMETER) {
        ASSERT_EQ(rc, FR_NO_MEMORY) << "after " << n << " allocations";
      } else {
        ASSERT_EQ(rc, FR_INVALID_PARAMETER) << "after " << n << " allocations";
      }
      for (int i = 0; i < GetUserCount(); ++i) {
        std::string text;
        ASSERT_EQ(AppendUserXML(GetUserByIndex(i), text), 0) << "after " << n << " allocations";
      }
    }
    EXPECT_FALSE(failed);
  }
}

struct RefusalCase {
  const char* name;
  const char* hash;
  int expected;
};

TEST_F(PasswordsTest, RefusalsComeBeforeAnyWrite) {
  SetRules("r3");
  const std::string adBefore = ReadWholeFile(UserFile(0x1002));
  const std::string listBefore = ReadWholeFile(home.File("userlist.xml"));
  const RefusalCase cases[] = {
      {nullptr, H(3).c_str(), FR_INVALID_PARAMETER}, {"", H(3).c_str(), FR_INVALID_PARAMETER},
      {"bob", nullptr, FR_INVALID_PARAMETER},        {"nobody", H(3).c_str(), FR_USER_NOT_FOUND},
      {"adbob", H(3).c_str(), FR_AD_USER},
  };
  for (const RefusalCase& c : cases) {
    EXPECT_EQ(SetUserPasswordV2(c.name, c.hash, 0, "p3"), c.expected) << (c.name ? c.name : "(null)");
  }
  EXPECT_EQ(SetUserPassword(nullptr, 5, 0), FR_INVALID_PARAMETER);
  EXPECT_EQ(SetUserPassword("nobody", 5, 0), FR_USER_NOT_FOUND);
  EXPECT_EQ(SetUserPassword("adbob", 5, 0), FR_AD_USER);
  EXPECT_EQ(ReadWholeFile(UserFile(0x1002)), adBefore);
  EXPECT_EQ(ReadWholeFile(home.File("userlist.xml")), listBefore);
  EXPECT_EQ(Read("adbob", kPasswordDateSetting), "<code 19>");
}

TEST_F(PasswordsTest, AFailedFinalSaveIsTheAnswer) {
  SetAtomicWriteFailAfter(0);
  EXPECT_EQ(SetUserPasswordV2("bob", H(3).c_str(), 1, nullptr), FR_WRITE_FAILED);
  SetAtomicWriteFailAfter(-1);
  // The change stays in memory; the file still holds the old password.
  EXPECT_EQ(FindUser("bob")->PASSWORDV2.value_or(""), H(3));
  Reload();
  EXPECT_EQ(FindUser("bob")->PASSWORDV2.value_or(""), H(2));
}

// ---- The legacy setter ---------------------------------------------------------------------

TEST_F(PasswordsTest, LegacyChangeKeepsTheBcryptTextAndItsHistory) {
  SetRules("r2");
  const uint32_t hash = GetPasswordCRC("abc");  // 0xD2BCC3A6
  EXPECT_EQ(SetUserPassword("bob", hash, 0), 0);
  UserStruct* bob = FindUser("bob");
  EXPECT_EQ(bob->PASSWORD, hash);
  EXPECT_EQ(bob->PASSWORDV2.value_or(""), H(2));
  EXPECT_EQ(Place("bob", 1), "D2BCC3A6");
  EXPECT_EQ(Place("bob", 2), H(1));
  EXPECT_EQ(Read("bob", kMustChangePasswordSetting), "0");

  // carol's place 1 holds 0000ABCD: the same hash is refused and leaves the date missing; a bcrypt entry never matches a legacy hash.
  EXPECT_EQ(SetUserPassword("carol", 0xABCD, 0), FR_PASSWORD_REUSED);
  EXPECT_EQ(Read("carol", kPasswordDateSetting), "<code 19>");
  EXPECT_EQ(SetUserPassword("bob", 0, 0), 0);  // bob's place 2 is a bcrypt text
  EXPECT_EQ(SetUserPassword("carol", 0xABCD, 1), 0);
  EXPECT_EQ(Place("carol", 1), "0000ABCD");
  EXPECT_EQ(Place("carol", 2), "0000ABCD");
  EXPECT_EQ(FindUser("carol")->PASSWORD, 0xABCDu);

  Reload();
  EXPECT_EQ(FindUser("carol")->PASSWORD, 0xABCDu);
  EXPECT_EQ(Read("carol", kPasswordDateSetting), FormatPasswordDate(static_cast<uint32_t>(kTenOClock)));
}

// ---- Starting the clock ----------------------------------------------------------------------

TEST_F(PasswordsTest, InitPasswordDatesGivesTheNextMidnightToUsersWithoutADate) {
  SetRules("r3");
  // Give dave its login section back, still with no date.
  ASSERT_EQ(SetUserSettingCreate("dave", "Live", "Torvane", kNeverExpiresPasswordSetting, "0"), 0);
  EXPECT_EQ(InitPasswordDates(), 0);
  EXPECT_EQ(Read("carol", kPasswordDateSetting), "5F5EB280");
  EXPECT_EQ(Read("dave", kPasswordDateSetting), "5F5EB280");
  EXPECT_EQ(Read("bob", kPasswordDateSetting), "5F000000");
  EXPECT_EQ(Read("adbob", kPasswordDateSetting), "<code 19>");
  // Starting the clock adds no history entry: nothing is shifted.
  EXPECT_EQ(Place("carol", 1), "0000ABCD");
  EXPECT_EQ(Place("carol", 2), "<code 19>");
  EXPECT_EQ(GetUserPasswordDate("carol"), 0x5F5EB280u);

  Reload();
  EXPECT_EQ(Read("carol", kPasswordDateSetting), "5F5EB280");
  EXPECT_EQ(Read("dave", kPasswordDateSetting), "5F5EB280");
  EXPECT_EQ(Read("bob", kPasswordDateSetting), "5F000000");

  // Nothing left to date: no save at all (a save would fail here).
  SetAtomicWriteFailAfter(0);
  EXPECT_EQ(InitPasswordDates(), 0);
}

TEST_F(PasswordsTest, InitPasswordDatesPassesOverAMissingLoginSectionAndReportsTheSave) {
  int dated = -1;
  // dave has no login section: only carol gets a date.
  EXPECT_EQ(StartPasswordClocks(&dated), 0);
  EXPECT_EQ(dated, 1);
  EXPECT_EQ(Read("carol", kPasswordDateSetting), "5F5EB280");
  EXPECT_EQ(Read("dave", kPasswordDateSetting), "<code 17>");
  // The batch form saved nothing.
  EXPECT_EQ(ReadWholeFile(UserFile(0x1003)), kCarolFile);

  FreeUsersData();
  ASSERT_EQ(ReadUsersV2(home.path.c_str()), 0);
  SetAtomicWriteFailAfter(0);
  EXPECT_EQ(InitPasswordDates(), FR_WRITE_FAILED);
}

}  // namespace
