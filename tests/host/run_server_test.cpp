// The run function's pieces in-process: the command line, the listener port,
// the ring log file name, the start-up load's upgrade of a version-1 users
// store, the rules of -i's first passwords, and the warning of built-in
// administrators with published passwords.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "directory/groups.h"
#include "foundation/crypto/password_hash.h"
#include "directory/users_files.h"
#include "foundation/uid/uid_alloc.h"
#include "foundation/log/ring_log.h"
#include "foundation/settings/server_settings.h"
#include "host/run_server.h"
#include "host/server_loop.h"
#include "platform/fs.h"
#include "support/directory_reset.h"
#include "support/stored_directory.h"
#include "support/temp_dir.h"

namespace {

struct LineCase {
  std::vector<const char*> words;  // after the program name
  int localMode, initialise;
  const char* portText;
  const char* home;  // null: none given
};

TEST(CommandLine, WordsAreTakenInTheirFixedOrder) {
  const LineCase cases[] = {
      {{}, 0, 0, "32000", nullptr},
      {{"-l", "-i", "32100", "/srv/t"}, 1, 1, "32100", "/srv/t"},
      {{"-I", "0", "h"}, 0, 1, "0", "h"},
      {{"-L", "h"}, 0, 0, "-L", "h"},                // "-l" matched exactly: -L is the port text
      {{"::startcheck::"}, 0, 0, "::startcheck::", nullptr},
      {{"-i", "-l"}, 0, 1, "-l", nullptr},           // -l only first
      {{"1", "2", "3", "4"}, 0, 0, "1", "2"},        // further words are not used
  };
  for (const auto& c : cases) {
    std::vector<const char*> argv = {"TorvaneServer"};
    argv.insert(argv.end(), c.words.begin(), c.words.end());
    CommandLine cl = ParseCommandLine(static_cast<int>(argv.size()), argv.data());
    std::string what = c.words.empty() ? "(none)" : c.words[0];
    EXPECT_EQ(c.localMode, cl.localMode) << what;
    EXPECT_EQ(c.initialise, cl.initialise) << what;
    EXPECT_EQ(c.portText, cl.portText) << what;
    EXPECT_EQ(c.home != nullptr, cl.homeGiven) << what;
    if (c.home != nullptr) {
      EXPECT_EQ(c.home, cl.home) << what;
    }
  }
}

TEST(CommandLine, ListenerPortIsTheDecimalPrefixWithinZeroTo65535) {
  const struct {
    const char* text;
    bool ok;
    int32_t port;
  } cases[] = {
      {"32000", true, 32000}, {" 32100@mode", true, 32100}, {"-L", true, 0}, {"::startcheck::", true, 0},
      {"0", true, 0},         {"65535", true, 65535},       {"65536", false, 0}, {"70000", false, 0},
      {"-1", false, 0},       {"99999999999999999999", false, 0},
  };
  for (const auto& c : cases) {
    int32_t port = -7;
    EXPECT_EQ(c.ok, ParseListenerPort(c.text, &port)) << c.text;
    EXPECT_EQ(c.port, port) << c.text;
  }
}

// The rules of a first password at -i, at their bounds.
TEST(FirstPasswords, TheRulesOfAFirstPassword) {
  const struct {
    const char* user;
    std::string password;
    std::string fault;
  } cases[] = {
      {"administrator", "x", ""},
      {"administrator", " ", ""},
      {"ZentakUser", "quernstoneway", ""},  // a published password is allowed (and warned of at every start)
      {"administrator", "", "is empty"},
      {"administrator", std::string(kMaxHashedPasswordBytes, 'p'), ""},
      {"ZentakUser", std::string(kMaxHashedPasswordBytes + 1, 'p'), "is longer than the 511 bytes a password hash takes"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.fault, FirstPasswordFault(c.user, c.password)) << c.user << " " << c.password.size();
  }
}

class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetDirectoryState();
    ASSERT_EQ(0, SetHomeDirectory(dir_.path.c_str()));
    SetLogTeeFileName(dir_.File("tee").c_str());
  }
  void TearDown() override {
    SetLogTeeFileName(nullptr);
    SetLogFileName(nullptr);
    ResetDirectoryState();
  }
  TempDir dir_;
};

TEST_F(StartupTest, NothingSetGivesPort32000AndItsLogFileInTheCurrentDirectory) {
  char cwd[4096];
  ASSERT_NE(nullptr, getcwd(cwd, sizeof cwd));
  ASSERT_EQ(0, chdir(dir_.path.c_str()));
  ResetServerSettings();
  CommandLine cl = ParseCommandLine(1, std::vector<const char*>{"TorvaneServer"}.data());
  int32_t port = 0;
  ASSERT_TRUE(ParseListenerPort(cl.portText, &port));
  EXPECT_EQ(32000, port);
  OpenLogFile(kMinLogSlots, port);
  EXPECT_STREQ("./", GetServerSettings().homeDirectory);
  EXPECT_EQ(PATH_EXISTS, ProbePath(dir_.File("torvane.32000.lg")));
  std::string tee = ReadWholeFile(dir_.File("tee"));
  EXPECT_NE(std::string::npos, tee.find("\t\tTorvaneServer version 5.0 build 000.001"));
  EXPECT_NE(std::string::npos, tee.find("Torvane home directory is ./"));
  ASSERT_EQ(0, chdir(cwd));
}

const char kTwoUsers[] =
    "<?xml version=\"1.0\"?>\r\n<USERS>\r\n"
    "<USER>\r\n<UID>00000010</UID>\r\n<USERNAME>anna</USERNAME>\r\n<PASSWORDV2>00000000</PASSWORDV2>\r\n"
    "<ADUSER>0</ADUSER>\r\n<LEVEL>0</LEVEL>\r\n</USER>\r\n"
    "<USER>\r\n<UID>00000011</UID>\r\n<USERNAME>bert</USERNAME>\r\n<PASSWORDV2>00000000</PASSWORDV2>\r\n"
    "<ADUSER>0</ADUSER>\r\n<LEVEL>0</LEVEL>\r\n</USER>\r\n"
    "</USERS>\r\n";

TEST_F(StartupTest, AVersion1StoreBecomesVersion2WithAFileForEveryUser) {
  WriteWholeFile(dir_.File("users.xml"), kTwoUsers);
  LoadServerData();
  EXPECT_EQ(PATH_EXISTS, ProbePath(dir_.File("userlist.xml")));
  EXPECT_EQ(PATH_EXISTS, ProbePath(dir_.File("users/00000010.xml")));
  EXPECT_EQ(PATH_EXISTS, ProbePath(dir_.File("users/00000011.xml")));
  EXPECT_EQ(dir_.File("users.xml"), GetServerSettings().usersFilePath);
  EXPECT_NE(std::string::npos, ReadWholeFile(dir_.File("tee")).find("Upgrading to version 2 users format"));
}

TEST_F(StartupTest, APartlyReadVersion1StoreIsNotUpgraded) {
  // The second USER has no USERNAME: the load skips it and is partial.
  std::string text = kTwoUsers;
  size_t at = text.find("<USERNAME>bert</USERNAME>\r\n");
  text.erase(at, std::string("<USERNAME>bert</USERNAME>\r\n").size());
  WriteWholeFile(dir_.File("users.xml"), text);
  LoadServerData();
  ASSERT_NE(USERS_LOAD_OK, GetUsersLoadState());
  EXPECT_EQ(PATH_MISSING, ProbePath(dir_.File("userlist.xml")));
  EXPECT_EQ(text, ReadWholeFile(dir_.File("users.xml")));
  EXPECT_EQ(std::string::npos, ReadWholeFile(dir_.File("tee")).find("Upgrading to version 2 users format"));
}

// Groups are not registered nodes: a group's UID above every user's still
// keeps uid.val above it, so no new record is given the group's UID.
TEST_F(StartupTest, TheUIDCounterStartsAboveTheGroupsUIDs) {
  SetUIDDirectory(dir_.path.c_str());  // as OpenLogFile does before the load
  WriteWholeFile(dir_.File("users.xml"), kTwoUsers);
  WriteWholeFile(dir_.File("groups.xml"),
                 "<?xml version=\"1.0\"?>\n<GROUPS>\n<GROUP>\n<NAME>Staff</NAME>\n<UID>00000500</UID>\n</GROUP>\n"
                 "<GROUP>\n<NAME>Fresh</NAME>\n</GROUP>\n</GROUPS>");
  LoadServerData();
  GroupStruct* fresh = FindGroupByName("Fresh");
  ASSERT_NE(nullptr, fresh);
  EXPECT_GT(fresh->header.uid, 0x500u) << "a group without a UID gets one above every loaded UID";
  UID next = GetNewUID();
  EXPECT_GT(next, fresh->header.uid);
}

// A stop that arrives during the start-up load ends the run: the listener is
// never opened.
TEST_F(StartupTest, AStopDuringStartUpEndsTheRun) {
  ServiceStop();
  std::vector<const char*> argv = {"TorvaneServer", "0", dir_.path.c_str()};
  EXPECT_EQ(0, RunServer(static_cast<int>(argv.size()), argv.data()));
  ClearStopRequest();
  EXPECT_EQ(-1, GetListenerSocket());
  std::string tee = ReadWholeFile(dir_.File("tee"));
  EXPECT_NE(std::string::npos, tee.find("Stop requested during start-up")) << tee;
  EXPECT_EQ(std::string::npos, tee.find("Socket opened"));
}

// One USER element of a version-1 store with the given password element.
std::string UserWith(const char* uid, const char* name, const std::string& passwordElement) {
  return std::string("<USER>\r\n<UID>") + uid + "</UID>\r\n<USERNAME>" + name + "</USERNAME>\r\n" +
         passwordElement + "<ADUSER>0</ADUSER>\r\n<LEVEL>32768</LEVEL>\r\n</USER>\r\n";
}

std::string Bcrypt(const char* clear) { return "<PASSWORDV2>" + CheapHash(clear) + "</PASSWORDV2>\r\n"; }
std::string Legacy(const char* clear) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "%08X", GetPasswordCRC(clear));
  return std::string("<PASSWORD>") + hex + "</PASSWORD>\r\n";
}

// Each start warns of every built-in administrator that still accepts its
// published password, through a bcrypt text or a legacy hash alike, and of
// no other.
TEST_F(StartupTest, BuiltInAdministratorsWithTheirPublishedPasswordsAreWarnedOf) {
  const struct {
    const char* what;
    std::string administrator, zentakUser;  // password elements
    bool warnAdministrator, warnZentakUser;
  } cases[] = {
      {"both published", Bcrypt("quernstoneway"), Bcrypt("Grebe7ly"), true, true},
      {"administrator changed", Bcrypt("a new one"), Bcrypt("Grebe7ly"), false, true},
      {"both changed", Bcrypt("a new one"), Legacy("another"), false, false},
      {"legacy hashes", Legacy("quernstoneway"), Legacy("Grebe7ly"), true, true},
      {"each the other's", Bcrypt("Grebe7ly"), Bcrypt("quernstoneway"), false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ResetDirectoryState();
    ASSERT_EQ(0, SetHomeDirectory(dir_.path.c_str()));
    std::remove(dir_.File("userlist.xml").c_str());
    std::remove(dir_.File("tee").c_str());
    WriteWholeFile(dir_.File("users.xml"), "<?xml version=\"1.0\"?>\r\n<USERS>\r\n" +
                                               UserWith("EE6B2802", "administrator", c.administrator) +
                                               UserWith("EE6B2808", "ZentakUser", c.zentakUser) + "</USERS>\r\n");
    LoadServerData();
    EXPECT_EQ((c.warnAdministrator ? 1 : 0) + (c.warnZentakUser ? 1 : 0), WarnOfPublishedPasswords());
    const std::string tee = ReadWholeFile(dir_.File("tee"));
    EXPECT_EQ(c.warnAdministrator,
              tee.find("Warning: the administrator administrator still has its published password") != std::string::npos)
        << tee;
    EXPECT_EQ(c.warnZentakUser,
              tee.find("Warning: the administrator ZentakUser still has its published password") != std::string::npos)
        << tee;
  }
}

}  // namespace
