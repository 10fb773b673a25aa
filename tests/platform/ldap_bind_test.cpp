// Bind names of the directory-bind layer: templates and RFC 4514 escaping.
#include <gtest/gtest.h>

#include "platform/ldap_bind.h"

namespace {

struct BindNameCase {
  const char* id;
  const char* bindTemplate;
  const char* account;
  const char* domain;
  const char* expected;
};

TEST(LdapBindNames, TemplatesAndEscaping) {
  const BindNameCase cases[] = {
      {"down-level", "%D\\%A", "bob", "CORP", "CORP\\bob"},
      {"down-level without domain", "%D\\%A", "bob", "", "bob"},
      {"down-level keeps specials", "%D\\%A", "a,b", "CORP", "CORP\\a,b"},
      {"account alone", "%A", "bob", "CORP", "bob"},
      {"dn", "uid=%A,ou=%D,dc=example,dc=test", "bob", "CORP", "uid=bob,ou=CORP,dc=example,dc=test"},
      {"dn escapes specials", "uid=%A,ou=%D", "a,b+c;d", "x=y", "uid=a\\,b\\+c\\;d,ou=x\\=y"},
      {"dn escapes quote angle backslash", "cn=%A", "\"<a\\b>\"", "", "cn=\\\"\\<a\\\\b\\>\\\""},
      {"dn leading hash and edge spaces", "cn=%A", "# x ", "", "cn=\\# x\\ "},
      {"dn leading space", "cn=%A", " x", "", "cn=\\ x"},
      {"dn keeps utf-8", "cn=%A", "caf\xC3\xA9", "", "cn=caf\xC3\xA9"},
      {"percent escapes", "%%%A%x%", "bob", "", "%bob%x%"},
      {"dn without domain", "uid=%A,ou=%D", "bob", "", "uid=bob,ou="},
  };
  for (const BindNameCase& c : cases)
    EXPECT_EQ(BuildBindName(c.bindTemplate, c.account, c.domain), c.expected) << c.id;
}

TEST(LdapBindNames, EscapesNulAsHex) {
  EXPECT_EQ(EscapeDNValue(std::string("a\0b", 3)), "a\\00b");
  EXPECT_EQ(EscapeDNValue(""), "");
}

TEST(LdapBindSettings, URIsAndTemplateAreSettable) {
  SetLdapURIs("ldaps://127.0.0.1:1636", "ldap://127.0.0.1:1389");
  EXPECT_EQ(GetLdapURI(false), "ldaps://127.0.0.1:1636");
  EXPECT_EQ(GetLdapURI(true), "ldap://127.0.0.1:1389");
  SetLdapURIs("", "");
  EXPECT_EQ(GetLdapURI(false).rfind("ldaps://", 0), 0u);
  EXPECT_NE(GetLdapURI(false).find(":636"), std::string::npos);
  EXPECT_EQ(GetLdapURI(true).rfind("ldap://", 0), 0u);
  EXPECT_NE(GetLdapURI(true).find(":389"), std::string::npos);
  SetLdapBindNameTemplate("cn=%A");
  EXPECT_EQ(GetLdapBindNameTemplate(), "cn=%A");
  SetLdapBindNameTemplate("");
  EXPECT_EQ(GetLdapBindNameTemplate(), kDefaultBindNameTemplate);
}

}  // namespace
