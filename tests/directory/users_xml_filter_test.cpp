// Tests of the users documents without other users' secrets: the bytes cut
// and the bytes kept, byte for byte, for users documents and the login
// subsection, the caller's own user, and the all-users document from disk.
#include "directory/users_xml_filter.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>

#include "directory/users_files.h"
#include "directory/users_xml_exchange.h"
#include "foundation/result_codes.h"
#include "support/temp_dir.h"

namespace {

struct StripCase {
  const char* id;
  SecretsDocument kind;
  UID keepFor;
  const char* text;
  const char* expected;  // null: the text does not parse
};

TEST(StripPasswordSecrets, CutsExactlyTheSecretElements) {
  const StripCase cases[] = {
      {"one user", SECRETS_USERS, 0,
       "<USER>\n<UID>00000005</UID>\n<USERNAME>a</USERNAME>\n<PASSWORD>1234ABCD</PASSWORD>\n"
       "<PASSWORDV2>$2b$04$x</PASSWORDV2>\n<LEVEL>0</LEVEL>\n</USER>\n",
       "<USER>\n<UID>00000005</UID>\n<USERNAME>a</USERNAME>\n<LEVEL>0</LEVEL>\n</USER>\n"},
      {"CR LF, any case, empty tag", SECRETS_USERS, 0,
       "<USERS><user><passwordv2/>\r\n<Password>1</Password><FORENAME>p</FORENAME></user></USERS>",
       "<USERS><user><FORENAME>p</FORENAME></user></USERS>"},
      {"history only under Live\\Torvane\\Passwords", SECRETS_USERS, 0,
       "<USER><USERDATA><live><TORVANE><Passwords><Old><PW1>h</PW1></Old>\n<MustChange>1</MustChange>"
       "</Passwords></TORVANE><Other><Passwords><Old>kept</Old></Passwords></Other></live></USERDATA></USER>",
       "<USER><USERDATA><live><TORVANE><Passwords><MustChange>1</MustChange>"
       "</Passwords></TORVANE><Other><Passwords><Old>kept</Old></Passwords></Other></live></USERDATA></USER>"},
      {"a PASSWORD deeper down is no hash", SECRETS_USERS, 0,
       "<USER><FIELD NAME=\"x\"><PASSWORD>k</PASSWORD></FIELD></USER>",
       "<USER><FIELD NAME=\"x\"><PASSWORD>k</PASSWORD></FIELD></USER>"},
      {"the caller's own user keeps its secrets, wherever its UID stands", SECRETS_USERS, 7,
       "<USERS>\n<USER><PASSWORDV2>mine</PASSWORDV2><UID> 00000007 </UID></USER>\n"
       "<USER><UID>00000008</UID><PASSWORDV2>theirs</PASSWORDV2></USER>\n</USERS>\n",
       "<USERS>\n<USER><PASSWORDV2>mine</PASSWORDV2><UID> 00000007 </UID></USER>\n"
       "<USER><UID>00000008</UID></USER>\n</USERS>\n"},
      {"declaration kept", SECRETS_USERS, 0, "<?xml version=\"1.0\"?><USERS><USER><PASSWORD>1</PASSWORD></USER></USERS>",
       "<?xml version=\"1.0\"?><USERS><USER></USER></USERS>"},
      {"login subsection", SECRETS_LOGIN_SUBSECTION, 0,
       "<Torvane>\r\n<Passwords>\r\n<OLD>\r\n<PW1>h\r\n</PW1>\r\n</OLD>\r\n<Date>5</Date>\r\n</Passwords>\r\n</Torvane>\r\n",
       "<Torvane>\r\n<Passwords>\r\n<Date>5</Date>\r\n</Passwords>\r\n</Torvane>\r\n"},
      {"escapes kept", SECRETS_USERS, 0, "<USER><FORENAME>a&amp;b&#38;</FORENAME><PASSWORD>1</PASSWORD></USER>",
       "<USER><FORENAME>a&amp;b&#38;</FORENAME></USER>"},
      {"not XML", SECRETS_USERS, 0, "<USER><PASSWORD>1</USER>", nullptr},
      {"entity declarations refused", SECRETS_USERS, 0,
       "<!DOCTYPE USER [<!ENTITY a \"b\">]><USER>&a;</USER>", nullptr},
  };
  for (const StripCase& c : cases) {
    SCOPED_TRACE(c.id);
    std::string out = "stale";
    const bool ok = StripPasswordSecrets(c.text, c.kind, c.keepFor, out);
    if (c.expected == nullptr) {
      EXPECT_FALSE(ok);
      EXPECT_EQ(out, "");
    } else {
      EXPECT_TRUE(ok);
      EXPECT_EQ(out, c.expected);
    }
  }
}

TEST(UsersXMLWithoutSecrets, FilesFromDiskFilteredButTheCallersOwn) {
  TempDir home;
  ASSERT_EQ(::mkdir(home.File("users").c_str(), 0755), 0);
  WriteWholeFile(home.File("userlist.xml"),
                 "<?xml version=\"1.0\"?>\n<USERLIST>\n<USER uid=\"00000001\" name=\"a\"/>\n"
                 "<USER uid=\"00000002\" name=\"b\"/>\n<USER uid=\"00000003\" name=\"c\"/>\n</USERLIST>");
  WriteWholeFile(UserFilePath(home.path, 1), "<USER><UID>00000001</UID><PASSWORDV2>one</PASSWORDV2></USER>\n");
  WriteWholeFile(UserFilePath(home.path, 2), "<USER><UID>00000002</UID><PASSWORDV2>two</PASSWORDV2></USER>\n");
  WriteWholeFile(UserFilePath(home.path, 3), "<USER><UID>00000003</UID><PASSWORDV2>three");  // broken
  int code = -1;
  std::optional<std::string> doc = GetUsersXMLWithoutSecrets(home.path.c_str(), 2, &code);
  EXPECT_EQ(code, FR_OK);
  EXPECT_EQ(doc.value_or(""),
            "<?xml version=\"1.0\"?><USERS><USER><UID>00000001</UID></USER>\n"
            "<USER><UID>00000002</UID><PASSWORDV2>two</PASSWORDV2></USER>\n</USERS>");
  // The unfiltered document is the files as they are.
  doc = GetAllUsersXMLV2(home.path.c_str(), &code);
  EXPECT_NE(doc.value_or("").find("<PASSWORDV2>one</PASSWORDV2>"), std::string::npos);
  EXPECT_EQ(GetUsersXMLWithoutSecrets((home.path + "missing/").c_str(), 2, &code), std::nullopt);
  EXPECT_EQ(code, FR_CANNOT_OPEN_FILE);
}

}  // namespace
