// The event-driven version-1 users reader: the records it makes, against the
// tree reader on the same file; what it passes over, what it refuses.
#include "directory/users_v1_event_reader.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "directory/user_records.h"
#include "directory/users_files.h"
#include "foundation/result_codes.h"
#include "foundation/uid/node_registry.h"
#include "platform/clock.h"
#include "support/directory_reset.h"
#include "support/temp_dir.h"

namespace {

const char kUsersV1[] =
    "<?xml version=\"1.0\"?>\n"
    "<USERS>\n"
    "<USER>\n"
    "<UID>0000ABCD</UID>\n"
    "<USERNAME>bob</USERNAME>\n"
    "<FORENAME>Bob</FORENAME>\n"
    "<SURNAME>Stone</SURNAME>\n"
    "<EMAIL>bob@example.org</EMAIL>\n"
    "<PASSWORD>D2BCC3A6</PASSWORD>\n"
    "<PASSWORDV2>00000000</PASSWORDV2>\n"
    "<ADUSER>0</ADUSER>\n"
    "<LEVEL>512</LEVEL>\n"
    "<GROUPLIST>Staff;Sales</GROUPLIST>\n"
    "<FIELD NAME=\"Room\">12</FIELD>\n"
    "<FIELD NAME=\"Desk\">4&amp;5</FIELD>\n"
    "<USERDATA><Live><Torvane><Passwords></Passwords></Torvane></Live></USERDATA>\n"
    "</USER>\n"
    "<USER>\n"
    "<USERNAME>al</USERNAME>\n"
    "<UID>0000ABCE</UID>\n"
    "<LEVEL>32768</LEVEL>\n"
    "</USER>\n"
    "</USERS>";

class EventReader : public ::testing::Test {
 protected:
  TempDir home;
  void SetUp() override {
    ResetDirectoryState();
    SetClockOverride(0x5F000000);
  }
  void TearDown() override { ResetDirectoryState(); }
  std::string Write(const std::string& text) {
    const std::string path = home.File("users.xml");
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
  // The main fields of every record, one line each, in array order.
  static std::string Records() {
    std::string out;
    for (int i = 0; i < GetUserCount(); ++i) {
      const UserStruct* u = GetUserByIndex(i);
      char line[512];
      snprintf(line, sizeof line, "%08X %s %s %s %s %08X %s %d %u %s |", u->header.uid,
               u->USERNAME.value_or("-").c_str(), u->FORENAME.value_or("-").c_str(), u->SURNAME.value_or("-").c_str(),
               u->EMAIL.value_or("-").c_str(), u->PASSWORD, u->PASSWORDV2.value_or("-").c_str(), u->ADUSER, u->LEVEL,
               u->GROUPLIST.value_or("-").c_str());
      out += line;
      for (const UserField& f : u->fields) out += " " + f.name.value_or("") + "=" + f.value.value_or("");
      out += "\n";
    }
    return out;
  }
};

// The same records as the tree reader makes of the same file, settings aside.
TEST_F(EventReader, RecordsMatchTheTreeReader) {
  const std::string path = Write(kUsersV1);
  ASSERT_EQ(FR_OK, ReadUsersXML(path.c_str()));
  const std::string byTree = Records();
  ResetDirectoryState();
  SetClockOverride(0x5F000000);
  ASSERT_EQ(FR_OK, ReadUsersXMLEvents(path.c_str()));
  EXPECT_EQ(byTree, Records());
  EXPECT_EQ(
      "0000ABCE al - - - 00000000 - 0 32768 - |\n"
      "0000ABCD bob Bob Stone bob@example.org D2BCC3A6 00000000 0 512 Staff;Sales | Desk=4&5 Room=12\n",
      Records());
  const UserStruct* bob = FindUser("bob");
  ASSERT_NE(nullptr, bob);
  EXPECT_EQ(nullptr, bob->USERDATA);  // this reader keeps no settings
  EXPECT_EQ(&bob->header, GetNodeByUID(0xABCD));
  EXPECT_EQ(NODE_KIND_USER, bob->header.kind);
  EXPECT_EQ(0x5F000000u, GetUsersTime());
}

TEST_F(EventReader, PassedOverAndRefused) {
  struct Case {
    const char* id;
    std::string text;
    int rc;
    const char* users;  // names in array order
    const char* logged;
  } cases[] = {
      {"unexpected child passed over",
       "<USERS><USER><USERNAME>a</USERNAME><HAT><X>1</X></HAT><LEVEL>3</LEVEL></USER></USERS>", FR_OK, "a:3 ",
       "Node >HAT< was unexpected within user node"},
      {"element inside a leaf", "<USERS><USER><USERNAME>a<B/></USERNAME></USER></USERS>", FR_OK, "a:0 ",
       "Node >B< was unexpected within user node"},
      {"field without NAME first",
       "<USERS><USER><USERNAME>a</USERNAME><FIELD X=\"1\" NAME=\"n\">v</FIELD></USER></USERS>", FR_OK, "a:0 ",
       "Field node given but first attribute is not name"},
      {"no name", "<USERS><USER><LEVEL>1</LEVEL></USER><USER><USERNAME>b</USERNAME></USER></USERS>",
       FR_INVALID_PARAMETER, "b:0 ", "Cannot add user as NULL user name given"},
      {"bad name", "<USERS><USER><USERNAME>" + std::string(40, 'x') + "</USERNAME></USER></USERS>",
       FR_INVALID_PARAMETER, "", "as this is not a valid user name"},
      {"name twice", "<USERS><USER><USERNAME>a</USERNAME></USER><USER><USERNAME>A</USERNAME></USER></USERS>",
       FR_INVALID_PARAMETER, "a:0 ", ""},
      {"field twice",
       "<USERS><USER><USERNAME>a</USERNAME><FIELD NAME=\"f\">1</FIELD><FIELD NAME=\"F\">2</FIELD></USER></USERS>",
       FR_OK, "a:0 ", "already exists"},
      {"other root", "<PEOPLE><USER/></PEOPLE>", -1, "", "Root node is >PEOPLE< rather than USERS as required"},
      {"other element in USERS", "<USERS><USER><USERNAME>a</USERNAME></USER><GROUP/></USERS>", -1, "a:0 ",
       "Got node >GROUP< expecting USER"},
      {"not well formed", "<USERS><USER><USERNAME>a</USERNAME></USER>", -1, "a:0 ", "XML error "},
      {"entities", "<!DOCTYPE U [<!ENTITY e \"x\">]><USERS/>", -1, "", "XML error "},
  };
  for (const Case& c : cases) {
    ResetDirectoryState();
    const std::string path = Write(c.text);
    testing::internal::CaptureStderr();
    EXPECT_EQ(c.rc, ReadUsersXMLEvents(path.c_str())) << c.id;
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, log.find(c.logged)) << c.id << "\n" << log;
    std::string users;
    for (int i = 0; i < GetUserCount(); ++i) {
      users += GetUserByIndex(i)->USERNAME.value_or("?") + ":" + std::to_string(GetUserByIndex(i)->LEVEL) + " ";
    }
    EXPECT_EQ(c.users, users) << c.id;
  }
  testing::internal::CaptureStderr();
  EXPECT_EQ(-1, ReadUsersXMLEvents(home.File("missing.xml").c_str()));
  EXPECT_EQ(-1, ReadUsersXMLEvents(nullptr));
  EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find("Unable to open users file >"));
}

// A document longer than one 512-byte piece, texts split across pieces.
TEST_F(EventReader, ManyPieces) {
  std::string text = "<USERS>";
  for (int i = 0; i < 60; ++i) {
    text += "<USER><USERNAME>user" + std::to_string(i) + "</USERNAME><FORENAME>" + std::string(40, 'f') +
            "</FORENAME></USER>\n";
  }
  text += "</USERS>";
  ASSERT_GT(text.size(), 2048u);
  ASSERT_EQ(FR_OK, ReadUsersXMLEvents(Write(text).c_str()));
  ASSERT_EQ(60, GetUserCount());
  for (int i = 0; i < 60; ++i) EXPECT_EQ(std::string(40, 'f'), GetUserByIndex(i)->FORENAME.value_or("")) << i;
}

}  // namespace
