// Tests of the self-service rule: single writes and deletes by path, appended
// elements, branches replaced from XML text (with a clear that looks at the
// user's tree) and whole settings trees compared for their protected nodes.
#include "requests/self_service_rule.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "directory/users_files.h"
#include "foundation/settings/server_settings.h"
#include "foundation/xml/xml_tree.h"
#include "support/directory_reset.h"
#include "support/temp_dir.h"

namespace {

struct PathCase {
  const char* id;
  const char* section;
  const char* subsection;
  const char* path;
  bool allowed;
};

class SelfServiceChangeTest : public ::testing::TestWithParam<PathCase> {};

TEST_P(SelfServiceChangeTest, WriteOrDeleteOfANode) {
  const PathCase& c = GetParam();
  EXPECT_EQ(SelfServiceMayChange(c.section, c.subsection, c.path), c.allowed);
}

const PathCase kPathCases[] = {
    {"OrdinaryField", "Live", "Torvane", "Colour", true},
    {"DefaultEnvironment", "Live", "Torvane", "DefaultEnvironment", true},
    {"OtherProductField", "Live", "Brindle", "Passwords", true},
    {"PasswordsInOtherSection", "Test", "Torvane", "Passwords\\MustChange", true},
    {"AllowConfiguration", "Live", "Brindle", "AllowConfiguration", false},
    {"AllowConfigurationAnyCase", "Test", "App", "aLLOWcONFIGURATION", false},
    {"UnderAllowConfiguration", "Test", "App", "AllowConfiguration\\x", false},
    {"AllowConfigurationDeeperIsOrdinary", "Test", "App", "Sub\\AllowConfiguration", true},
    {"MustChange", "Live", "Torvane", "Passwords\\MustChange", false},
    {"PasswordsNode", "Live", "Torvane", "Passwords", false},
    {"PasswordsTrailingBackslash", "Live", "Torvane", "Passwords\\", false},
    {"History", "Live", "Torvane", "Passwords\\Old\\PW1", false},
    {"PasswordsAnyCase", "LIVE", "torvane", "PASSWORDS\\date", false},
    {"PasswordsEmptyElements", "Live", "Torvane", "\\Passwords\\\\Old", false},
    {"SectionLive", "Live", nullptr, nullptr, false},
    {"SectionLiveAnyCase", "live", "", "", false},
    {"SubsectionLoginSection", "Live", "Torvane", nullptr, false},
    {"SubsectionLoginSectionEmptyPath", "Live", "TORVANE", "", false},
    {"OtherSection", "Test", nullptr, nullptr, true},
    {"OtherSubsectionOfLive", "Live", "Brindle", nullptr, true},
    {"NoSection", nullptr, "Torvane", "Passwords", true},
};

INSTANTIATE_TEST_SUITE_P(Paths, SelfServiceChangeTest, ::testing::ValuesIn(kPathCases),
                         [](const auto& info) { return std::string(info.param.id); });

TEST(SelfServiceAppendTest, ElementNamesUnderTheirParent) {
  EXPECT_TRUE(SelfServiceMayAppend("Live", "Torvane", nullptr, "Colour"));
  EXPECT_FALSE(SelfServiceMayAppend("Live", "Torvane", nullptr, "passwords"));
  EXPECT_FALSE(SelfServiceMayAppend("Live", "Torvane", "Passwords", "MustChange"));
  EXPECT_FALSE(SelfServiceMayAppend("Test", "App", "", "ALLOWCONFIGURATION"));
  EXPECT_TRUE(SelfServiceMayAppend("Test", "App", "Sub", "AllowConfiguration"));
}

// A home holding bob, whose Brindle subsection carries a configuration right.
class SelfServiceBranchTest : public ::testing::Test {
 protected:
  TempDir home;
  void SetUp() override {
    ResetDirectoryState();
    ASSERT_EQ(SetHomeDirectory(home.path.c_str()), 0);
    std::filesystem::create_directories(home.File("users"));
    WriteWholeFile(home.File("userlist.xml"),
                   "<?xml version=\"1.0\"?>\n<USERLIST>\n<USER uid=\"00001001\" name=\"bob\"/>\n</USERLIST>");
    WriteWholeFile(home.File("users/00001001.xml"),
                   "<USER>\n<UID>00001001</UID>\n<USERNAME>bob</USERNAME>\n<LEVEL>0</LEVEL>\n<USERDATA>\n"
                   "<Live>\n<Torvane>\n<Passwords>\n<MustChange>1</MustChange>\n</Passwords>\n</Torvane>\n"
                   "<Brindle>\n<allowconfiguration>0</allowconfiguration>\n</Brindle>\n"
                   "<Quillet>\n<Colour>red</Colour>\n</Quillet>\n</Live>\n"
                   "</USERDATA>\n</USER>\n");
    ASSERT_EQ(ReadUsersV2(home.path.c_str()), 0);
  }
  void TearDown() override { ResetDirectoryState(); }
};

TEST_F(SelfServiceBranchTest, BranchesClearsAndElements) {
  struct Case {
    const char* id;
    const char* subsection;
    const char* branch;
    int clear;
    const char* text;
    bool allowed;
  };
  const Case cases[] = {
      {"plain element", "Torvane", "", 0, "<Colour>blue</Colour>", true},
      {"element beside a branch", "Torvane", "Window\\Size", 1, "<Size>3</Size>", true},
      {"passwords element", "Torvane", "", 0, "<PASSWORDS><MustChange>0</MustChange></PASSWORDS>", false},
      {"element under passwords", "Torvane", "Passwords\\Date", 0, "<Date>0</Date>", false},
      {"clear of passwords", "Torvane", "passwords", 1, "<X/>", false},
      {"clear of the login subsection", "torvane", "", 1, "<Colour>blue</Colour>", false},
      {"allow element", "Quillet", "", 0, "<AllowConfiguration>1</AllowConfiguration>", false},
      {"allow beside a branch", "Quillet", "Colour", 1, "<allowConfiguration>1</allowConfiguration>", false},
      {"allow as the branch", "Quillet", "AllowConfiguration", 0, "<X/>", false},
      // No node of that name at any depth: the branch's, or the text's.
      {"allow deeper", "Quillet", "Sub\\AllowConfiguration", 1, "<AllowConfiguration>1</AllowConfiguration>",
       false},
      {"allow deeper in the branch", "Quillet", "Sub\\allowconfiguration\\X", 0, "<Y/>", false},
      {"allow inside the element", "Quillet", "", 0,
       "<Quillet><Colour>red</Colour><AllowConfiguration>1</AllowConfiguration></Quillet>", false},
      {"allow deep inside the element", "Quillet", "Colour", 0,
       "<Shade><A><B><allowCONFIGURATION>1</allowCONFIGURATION></B></A></Shade>", false},
      {"an element that merely names it", "Quillet", "", 0, "<Note>AllowConfiguration</Note>", true},
      {"clear of a subsection with a right", "Brindle", "", 1, "<Colour>blue</Colour>", false},
      {"clear of a subsection without one", "Quillet", "", 1, "<Colour>blue</Colour>", true},
      {"clear of a subsection not there", "Sorvin", "", 1, "<Colour>blue</Colour>", true},
      {"text that does not parse", "Quillet", "", 0, "<AllowConfiguration>", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SelfServiceMayReplaceBranch("bob", "Live", c.subsection, c.branch, c.clear, c.text), c.allowed)
        << c.id;
  }
}

TEST(SelfServiceTreeTest, ProtectedNodesKept) {
  const char* const current =
      "<USERDATA><Live><Torvane><Passwords><MustChange>1</MustChange><Old><PW1>a</PW1></Old></Passwords>"
      "<DefaultEnvironment>Live</DefaultEnvironment></Torvane>"
      "<Brindle><AllowConfiguration>0</AllowConfiguration></Brindle></Live></USERDATA>";
  struct Case {
    const char* id;
    const char* replacement;
    bool kept;
  };
  const Case cases[] = {
      {"same tree", current, true},
      {"ordinary field changed, names in another case",
       "<USERDATA><live><TORVANE><passwords><mustchange>1</mustchange><OLD><pw1>a</pw1></OLD></passwords>"
       "<DefaultEnvironment>Test</DefaultEnvironment><Colour>red</Colour></TORVANE>"
       "<Brindle><Window>2</Window><AllowConfiguration>0</AllowConfiguration></Brindle></live>"
       "<Test/></USERDATA>",
       true},
      {"must change cleared",
       "<USERDATA><Live><Torvane><Passwords><MustChange>0</MustChange><Old><PW1>a</PW1></Old></Passwords>"
       "</Torvane><Brindle><AllowConfiguration>0</AllowConfiguration></Brindle></Live></USERDATA>",
       false},
      {"history dropped",
       "<USERDATA><Live><Torvane><Passwords><MustChange>1</MustChange></Passwords>"
       "</Torvane><Brindle><AllowConfiguration>0</AllowConfiguration></Brindle></Live></USERDATA>",
       false},
      {"right granted",
       "<USERDATA><Live><Torvane><Passwords><MustChange>1</MustChange><Old><PW1>a</PW1></Old></Passwords>"
       "</Torvane><Brindle><AllowConfiguration>1</AllowConfiguration></Brindle></Live></USERDATA>",
       false},
      {"right added elsewhere",
       "<USERDATA><Live><Torvane><Passwords><MustChange>1</MustChange><Old><PW1>a</PW1></Old></Passwords>"
       "</Torvane><Brindle><AllowConfiguration>0</AllowConfiguration></Brindle></Live>"
       "<Test><App><AllowConfiguration>1</AllowConfiguration></App></Test></USERDATA>",
       false},
      {"the same with layout between the nodes",
       "<USERDATA>\n<Live>\n<Torvane>\n<Passwords>\n<MustChange>1</MustChange>\n<Old>\n<PW1>a</PW1>\n</Old>\n"
       "</Passwords>\n</Torvane>\n<Brindle>\n<AllowConfiguration>0</AllowConfiguration>\n</Brindle>\n</Live>\n"
       "</USERDATA>",
       true},
      {"a leaf's white space is its value",
       "<USERDATA><Live><Torvane><Passwords><MustChange> 1</MustChange><Old><PW1>a</PW1></Old></Passwords>"
       "</Torvane><Brindle><AllowConfiguration>0</AllowConfiguration></Brindle></Live></USERDATA>",
       false},
      {"no settings at all", nullptr, false},
      // Lookups take the first section, subsection and node of a name.
      {"an empty login section before the real one",
       "<USERDATA><LIVE><Torvane/></LIVE><Live><Torvane><Passwords><MustChange>1</MustChange><Old><PW1>a</PW1>"
       "</Old></Passwords></Torvane><Brindle><AllowConfiguration>0</AllowConfiguration></Brindle></Live></USERDATA>",
       false},
      {"an empty login subsection before the real one",
       "<USERDATA><Live><torvane/><Torvane><Passwords><MustChange>1</MustChange><Old><PW1>a</PW1></Old></Passwords>"
       "</Torvane><Brindle><AllowConfiguration>0</AllowConfiguration></Brindle></Live></USERDATA>",
       false},
      {"an empty subsection before the right it hides",
       "<USERDATA><Live><Torvane><Passwords><MustChange>1</MustChange><Old><PW1>a</PW1></Old></Passwords>"
       "</Torvane><Brindle/><Brindle><AllowConfiguration>0</AllowConfiguration></Brindle></Live></USERDATA>",
       false},
      {"a repeated section that hides nothing",
       "<USERDATA><Live><Torvane><Passwords><MustChange>1</MustChange><Old><PW1>a</PW1></Old></Passwords>"
       "</Torvane><Brindle><AllowConfiguration>0</AllowConfiguration></Brindle></Live><Test><A/></Test>"
       "<Test><B/></Test><Live><Other/></Live></USERDATA>",
       true},
  };
  XMLNodeListPtr currentTree(ParseXMLStringToNodeTree(current));
  ASSERT_TRUE(currentTree);
  for (const Case& c : cases) {
    XMLNodeListPtr replacement(c.replacement ? ParseXMLStringToNodeTree(c.replacement) : nullptr);
    if (c.replacement) {
      ASSERT_TRUE(replacement) << c.id;
    }
    EXPECT_EQ(SelfServiceKeepsProtectedSettings(currentTree.get(), replacement.get()), c.kept) << c.id;
  }
  EXPECT_TRUE(SelfServiceKeepsProtectedSettings(nullptr, nullptr));
}

}  // namespace
