// A process run of the real server over a cut userlist.xml: the users whose
// files were whole are never lost to a later start. The first save keeps the
// cut list as userlist.xml.bad, every later start names each unlisted file
// with the list entry that loads it again, and that entry brings the user back.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/server_process.h"
#include "support/test_client.h"
#include "support/wire_session.h"

namespace {

constexpr int kUsers = 12;
constexpr int kCutAfter = 7;  // the list is cut inside the line of the 8th user

std::string UID(int i) {
  char uid[16];
  std::snprintf(uid, sizeof uid, "%08X", 0x5000 + i);
  return uid;
}

std::string Name(int i) { return "cutuser" + std::to_string(i); }

TEST(CutUserList, UsersWhoseFilesWereWholeAreNotLostToALaterStart) {
  ServerProcess server;
  ASSERT_EQ(server.Initialise(), 0) << server.LastRun();
  ASSERT_TRUE(server.Start()) << server.Log();  // the upgrade to the per-user files
  ASSERT_EQ(server.Stop(), 0) << server.Log();
  const std::string h = server.Home();
  std::vector<std::string> files;
  for (int i = 0; i < kUsers; ++i) {
    files.push_back(StoredUserFile(UID(i).c_str(), Name(i).c_str(), 0, "00000000",
                                   "<Live>\n<Torvane>\n</Torvane>\n</Live>\n"));
    ASSERT_TRUE(server.AddStoredUser(UID(i).c_str(), Name(i).c_str(), files.back()));
  }
  // Cut the list in the middle of a user's line, as a crash of a copy might.
  const std::string whole = ReadWholeFile(h + "userlist.xml");
  const size_t line = whole.find("<USER uid=\"" + UID(kCutAfter) + "\"");
  ASSERT_NE(line, std::string::npos);
  const std::string cut = whole.substr(0, line + 15);
  WriteWholeFile(h + "userlist.xml", cut);

  // The start serves the users the cut list names; the first save (an add)
  // keeps the cut list beside the new one.
  ASSERT_TRUE(server.Restart()) << server.Log();
  EXPECT_NE(server.Log().find("was read in part"), std::string::npos) << server.Log();
  {
    WireSession admin(server, "administrator", kNewHomeAdministratorPassword);
    ASSERT_TRUE(admin.ok);
    EXPECT_EQ(admin.Call(6503, TestRequest().String(Name(kCutAfter - 1)).Int(1).Int(0)), 0);
    EXPECT_NE(admin.Call(6503, TestRequest().String(Name(kCutAfter)).Int(1).Int(0)), 0);
    WireSession again(server, "administrator", kNewHomeAdministratorPassword);
    ASSERT_TRUE(again.ok);
    EXPECT_EQ(again.Call(6504, TestRequest().String("newcomer")), 0);
  }
  ASSERT_EQ(server.Stop(), 0) << server.Log();
  EXPECT_EQ(ReadWholeFile(h + "userlist.xml.bad"), cut);
  const std::string relisted = ReadWholeFile(h + "userlist.xml");
  EXPECT_NE(relisted.find("name=\"newcomer\""), std::string::npos) << relisted;
  for (int i = 0; i < kUsers; ++i) {
    EXPECT_EQ(ReadWholeFile(h + "users/" + UID(i) + ".xml"), files[static_cast<size_t>(i)]) << Name(i);
  }

  // A later start names each lost user's file with the entry that loads it.
  ASSERT_TRUE(server.Restart()) << server.Log();
  ASSERT_EQ(server.Stop(), 0) << server.Log();
  std::string log = server.Log();
  std::string entries;
  for (int i = kCutAfter; i < kUsers; ++i) {
    const std::string entry = "<USER uid=\"" + UID(i) + "\"/>";
    EXPECT_NE(log.find("users/" + UID(i) + ".xml< is not named in the user list: it is kept, and the user it may "
                       "hold is not loaded. Unless that user was deleted, stop the server and add " + entry + " to " +
                       h + "userlist.xml before its last line to load the user again"),
              std::string::npos)
        << log;
    entries += entry + "\n";
  }
  // Following the log brings them back: each is served, the list names them all.
  std::string list = ReadWholeFile(h + "userlist.xml");
  list.insert(list.rfind("</USERLIST>"), entries);
  WriteWholeFile(h + "userlist.xml", list);
  ASSERT_TRUE(server.Restart()) << server.Log();
  log = server.Log();
  EXPECT_EQ(log.find("is not named in the user list"), std::string::npos) << log;
  EXPECT_EQ(log.find("read in part"), std::string::npos) << log;
  {
    WireSession admin(server, "administrator", kNewHomeAdministratorPassword);
    ASSERT_TRUE(admin.ok);
    for (int i = 0; i < kUsers; ++i) {
      WireSession each(server, "administrator", kNewHomeAdministratorPassword);
      ASSERT_TRUE(each.ok);
      EXPECT_EQ(each.Call(6503, TestRequest().String(Name(i)).Int(1).Int(0)), 0) << Name(i);
    }
    EXPECT_EQ(admin.Call(6504, TestRequest().String("second")), 0);  // a save, the list written whole
  }
  ASSERT_EQ(server.Stop(), 0) << server.Log();
  list = ReadWholeFile(h + "userlist.xml");
  for (int i = 0; i < kUsers; ++i) {
    EXPECT_NE(list.find("<USER uid=\"" + UID(i) + "\" name=\"" + Name(i) + "\"/>"), std::string::npos) << list;
  }
}

}  // namespace
