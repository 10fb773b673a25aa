// The tree reader of groups.xml: a document that reads releases the groups
// in memory; one that cannot be opened or parsed leaves them as they were.
#include "directory/groups_file_tree.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "directory/groups.h"
#include "foundation/result_codes.h"
#include "foundation/xml/xml_tree.h"
#include "platform/clock.h"
#include "support/directory_reset.h"
#include "support/temp_dir.h"

namespace {

class GroupsTreeRead : public ::testing::Test {
 protected:
  TempDir home;
  void SetUp() override {
    ResetDirectoryState();
    SetClockOverride(0x5F000000);
    ASSERT_GE(AddGroup("Staff"), 0);
    ASSERT_NE(nullptr, AddNewPerm(0x77));
  }
  void TearDown() override { ResetDirectoryState(); }
  std::string Write(const char* name, const std::string& text) {
    const std::string path = home.File(name);
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
};

TEST_F(GroupsTreeRead, FailedReadsKeepTheGroups) {
  struct Case {
    const char* id;
    std::string path;
    const char* logged;
  } cases[] = {
      {"missing file", home.File("none.xml"), "Unable to open groups file >"},
      {"not XML", Write("bad.xml", "<GROUPS><GROUP>"), "XML error "},
      {"empty file", Write("empty.xml", ""), "XML error "},
      {"entity declarations", Write("ent.xml", "<!DOCTYPE G [<!ENTITY a \"x\">]><GROUPS>&a;</GROUPS>"), "XML error "},
  };
  for (const Case& c : cases) {
    SetGroupsTime(0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, ReadGroupsXMLTree(c.path)) << c.id;
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find(c.logged)) << c.id;
    EXPECT_EQ(1, GetGroupCount()) << c.id;
    EXPECT_EQ(0x5F000000u, GetGroupsTime()) << c.id;
  }
}

TEST_F(GroupsTreeRead, AReadReleasesTheGroupsOnly) {
  const std::string path = Write("groups.xml",
                                 "<?xml version=\"1.0\"?>\n<GROUPS>\n<GROUP>\n<NAME>Other</NAME>\n"
                                 "<UID>EE6B2800</UID>\n</GROUP>\n<VERSION>2</VERSION>\n</GROUPS>");
  EXPECT_EQ(0, ReadGroupsXMLTree(path));
  EXPECT_EQ(0, GetGroupCount());
  EXPECT_EQ(1, GetPermissionCount());
  EXPECT_EQ(0x5F000000u, GetGroupsTime());
}

TEST_F(GroupsTreeRead, VersionSearch) {
  XMLNodeListPtr withVersion(ParseXMLStringToNodeTree("<GROUPS><GROUP/><version>1</version></GROUPS>"));
  XMLNodeListPtr without(ParseXMLStringToNodeTree("<GROUPS><GROUP/></GROUPS>"));
  XMLNodeListPtr bare(ParseXMLStringToNodeTree("<GROUPS/>"));
  EXPECT_EQ(FR_OK, FindGroupsVersionNode(withVersion.get()));
  EXPECT_EQ(FR_NODE_NOT_FOUND, FindGroupsVersionNode(without.get()));
  EXPECT_EQ(FR_XML_ERROR, FindGroupsVersionNode(bare.get()));
  EXPECT_EQ(FR_INVALID_PARAMETER, FindGroupsVersionNode(nullptr));
}

}  // namespace
