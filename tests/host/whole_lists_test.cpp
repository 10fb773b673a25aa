// The whole lists (6502, 6609) against the real server while other requests
// change what they list: readers with a small receive buffer ask for every
// user (or group) and take the first part of the reply; an administrator
// deletes records the readers have not reached and adds others; then the
// readers take the rest. Each gets exactly the records its count announced,
// each once, as they were when its reply began; a reader that begins after
// the changes gets them; every connection stays in step; and a reader without
// the administration bit sees its own password hash and nobody else's.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "directory/group_blocks.h"
#include "directory/groups.h"
#include "directory/user_blocks.h"
#include "directory/user_records.h"
#include "foundation/util/byte_order.h"
#include "support/hostile_clients.h"
#include "support/sanitizer_report.h"
#include "support/server_process.h"
#include "support/stored_directory.h"
#include "support/test_client.h"

namespace {

constexpr const char* kAdmin = kHostileAdmin;
constexpr const char* kAdminPassword = kHostileAdminPassword;
constexpr int kListed = 3000;     // users (or groups) of the home beside the built-in ones
constexpr int kDeleted = 50;      // the last ones by name, which no reader has reached
constexpr int kAdded = 20;        // names after every listed one
constexpr size_t kTakenFirst = 16 * 1024;  // what a slow reader takes before the changes
constexpr size_t kTakenEachChange = 1024;  // and after each of them
// Letters of each listed user's forename and group's description: each list
// runs to 6 MB, more than the kernel holds for a reader that does not read
// (4 MB at most), so a reply walking the store live would still be short of
// the deleted records when they go.
constexpr size_t kFillerBytes = 2000;

std::string Numbered(const char* prefix, int i) {
  char n[16];
  std::snprintf(n, sizeof n, "%s%04d", prefix, i);
  return n;
}

// A new home with a cost-4 hash for the administrator, the plain users
// "alice" and "bob" (password "pw"), kListed users "lu0000".. with forenames
// and kListed groups "LG0000".. (with UIDs) with descriptions of
// kFillerBytes letters, and alice as the groups' member.
void PrepareListHome(ServerProcess& server) {
  ASSERT_EQ(0, server.Initialise());
  const std::string usersPath = server.Home() + "users.xml";
  std::string users = ReadWholeFile(usersPath);
  ASSERT_TRUE(ReplaceStoredPasswordHash(users, kAdmin, CheapHash(kAdminPassword)));
  const std::string hash = CheapHash("pw");
  std::string extra = UsersXmlUser(0x20000001, "alice", 0, hash, "Alice") + UsersXmlUser(0x20000002, "bob", 0, hash, "Bob");
  for (int i = 0; i < kListed; ++i) {
    extra += UsersXmlUser(0x21000000u + static_cast<unsigned>(i), Numbered("lu", i), 0, hash, std::string(kFillerBytes, 'f'));
  }
  ASSERT_TRUE(AddToUsersXml(users, extra));
  WriteWholeFile(usersPath, users);

  const std::string groupsPath = server.Home() + "groups.xml";
  std::string groups = ReadWholeFile(groupsPath);
  std::string more;
  for (int i = 0; i < kListed; ++i) {
    // With their UIDs: a start that gave each its own would take a while.
    char uid[16];
    std::snprintf(uid, sizeof uid, "%08X", 0x22000000u + static_cast<unsigned>(i));
    more += "<GROUP>\n<NAME>" + Numbered("LG", i) + "</NAME>\n<UID>" + uid + "</UID>\n<DESCRIPTION>" +
            std::string(kFillerBytes, 'd') + "</DESCRIPTION>\n<USER>alice</USER>\n</GROUP>\n";
  }
  const size_t at = groups.find("<GROUP>");
  ASSERT_NE(std::string::npos, at);
  groups.insert(at, more);
  WriteWholeFile(groupsPath, groups);
}

// One record of a list as the reader decoded it.
struct Listed {
  std::string name;
  bool withHash = false;  // a user block that carries a PASSWORDV2
};

// A whole-list request in progress on a connection of its own: the reply's
// header words once begun, then its records.
struct ListReader {
  TestClient client;
  int32_t count = -1;  // announced by the header
  TestBytes taken;     // bytes of the entries taken so far, not yet decoded
};

// Logs on, sends the list request `messageID` (version 1, stamp 0) and takes
// its header. A small receive buffer when `slow`.
void BeginList(int port, const char* user, const char* password, int32_t clientID, int32_t messageID, bool slow,
               ListReader* reader) {
  reader->client = slow ? ConnectWithSmallReceiveBuffer(port) : TestClient::ConnectLoopback(port);
  reader->client.SetTimeoutMs(10000);
  ASSERT_EQ(0, reader->client.Logon(user, password, clientID).code);
  ASSERT_EQ(std::optional<int32_t>(0), reader->client.Request(messageID, TestRequest().Int(1).Int(0)));
  const std::vector<int32_t> header = reader->client.RecvInts(4);
  ASSERT_EQ(4u, header.size());
  EXPECT_EQ(0, header[0]);
  EXPECT_EQ(1, header[2]);
  reader->count = header[3];
}

// Takes the next `bytes` of the entries.
void TakeSome(ListReader* reader, size_t bytes) {
  TestBytes more;
  ASSERT_TRUE(reader->client.RecvBytes(bytes, &more));
  reader->taken.insert(reader->taken.end(), more.begin(), more.end());
}

// Takes the rest: exactly the announced number of entries, decoded by
// `decode` (false: not a block of the list's kind). Fails when fewer arrive.
void TakeTheRest(ListReader* reader, const std::function<bool(const TestBytes&, Listed*)>& decode,
                 std::vector<Listed>* out) {
  TestBytes pending = reader->taken;
  auto need = [&](size_t n) {
    if (pending.size() >= n) return true;
    TestBytes more;
    if (!reader->client.RecvBytes(n - pending.size(), &more)) return false;
    pending.insert(pending.end(), more.begin(), more.end());
    return true;
  };
  size_t at = 0;
  for (int32_t i = 0; i < reader->count; ++i) {
    ASSERT_TRUE(need(at + 4)) << "entry " << i << " of " << reader->count << " did not come";
    const uint32_t size = GetLE32(pending.data() + at);
    ASSERT_TRUE(need(at + 4 + size)) << "entry " << i << " of " << reader->count << " came short";
    const TestBytes block(pending.begin() + static_cast<std::ptrdiff_t>(at + 4),
                          pending.begin() + static_cast<std::ptrdiff_t>(at + 4 + size));
    Listed listed;
    ASSERT_TRUE(decode(block, &listed)) << "entry " << i;
    out->push_back(listed);
    at += 4 + size;
    if (at > 1024 * 1024) {  // keep what is pending short
      pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(at));
      at = 0;
    }
  }
  EXPECT_EQ(at, pending.size()) << "bytes past the last entry";
}

bool DecodeUser(const TestBytes& block, Listed* out) {
  UserStruct user;
  if (ConvertTransportBlockToUser(block.data(), static_cast<int32_t>(block.size()), &user, 1) != 0) return false;
  out->name = user.USERNAME.value_or("");
  out->withHash = user.PASSWORDV2.has_value();
  return true;
}

bool DecodeGroup(const TestBytes& block, Listed* out) {
  GroupStruct group;
  if (ConvertTransportBlockToGroup(block.data(), static_cast<int32_t>(block.size()), &group, 1) != 0) return false;
  out->name = group.name.value_or("");
  return true;
}

std::vector<std::string> Names(const std::vector<Listed>& list) {
  std::vector<std::string> names;
  for (const Listed& l : list) names.push_back(l.name);
  return names;
}

// The connection answers its next request as it should: in step.
void ExpectInStep(TestClient& client) {
  ASSERT_EQ(std::optional<int32_t>(0), client.Request(6628));
  EXPECT_EQ(std::optional<int32_t>(10), client.RecvInt());
}

// One family of whole lists: its message, how a block decodes, the prefix
// of its listed records' names, and the administrator's delete and add.
struct ListKind {
  const char* name;
  int32_t message;
  bool (*decode)(const TestBytes&, Listed*);
  const char* prefix;
  int32_t deleteMessage;
  int32_t addMessage;
};

void PrintTo(const ListKind& k, std::ostream* os) { *os << k.name; }

class WholeList : public ::testing::TestWithParam<ListKind> {};

TEST_P(WholeList, ReadersGetTheRecordsOfTheMomentTheirReplyBegan) {
  const ListKind& kind = GetParam();
  ServerProcess server;
  PrepareListHome(server);
  ASSERT_TRUE(server.Start()) << server.Log().substr(0, 3000);

  // The records before anything changes, as a quick reader gets them.
  std::vector<Listed> before;
  {
    ListReader first;
    BeginList(server.Port(), kAdmin, kAdminPassword, 0x0101, kind.message, false, &first);
    TakeTheRest(&first, kind.decode, &before);
  }
  ASSERT_GT(before.size(), static_cast<size_t>(kListed));

  // Two slow readers, an administrator and a plain user, take the first part.
  ListReader admin, alice;
  BeginList(server.Port(), kAdmin, kAdminPassword, 0x0102, kind.message, true, &admin);
  BeginList(server.Port(), "alice", "pw", 0x0103, kind.message, true, &alice);
  TakeSome(&admin, kTakenFirst);
  TakeSome(&alice, kTakenFirst);
  EXPECT_EQ(static_cast<int32_t>(before.size()), admin.count);
  EXPECT_EQ(static_cast<int32_t>(before.size()), alice.count);

  // Meanwhile, as the readers go on taking a little after each change: the
  // last records by name go, and others come after them. (A group change
  // rewrites groups.xml, 6 MB here: time enough for a loaded machine.)
  TestClient changer = TestClient::ConnectLoopback(server.Port());
  changer.SetTimeoutMs(30000);
  ASSERT_EQ(0, changer.Logon(kAdmin, kAdminPassword, 0x0104).code);
  std::set<std::string> after;
  for (const Listed& l : before) after.insert(l.name);
  auto change = [&](int32_t message, const std::string& name) {
    ASSERT_EQ(std::optional<int32_t>(0), changer.Request(message, TestRequest().String(name)));
    ASSERT_EQ(std::optional<int32_t>(0), changer.RecvInt()) << name;
    TakeSome(&admin, kTakenEachChange);
    TakeSome(&alice, kTakenEachChange);
  };
  for (int i = kListed - kDeleted; i < kListed; ++i) {
    const std::string name = Numbered(kind.prefix, i);
    change(kind.deleteMessage, name);
    after.erase(name);
  }
  for (int i = 0; i < kAdded; ++i) {
    const std::string name = Numbered(kind.prefix, 9000 + i);
    change(kind.addMessage, name);
    after.insert(name);
  }

  // A reader that begins now gets the records as they are now.
  {
    ListReader late;
    BeginList(server.Port(), "bob", "pw", 0x0105, kind.message, false, &late);
    std::vector<Listed> now;
    TakeTheRest(&late, kind.decode, &now);
    const std::vector<std::string> names = Names(now);
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()), after);
    EXPECT_EQ(names.size(), after.size()) << "a record twice";
    ExpectInStep(late.client);
  }

  // The slow readers get the records of their moment: the count they were
  // told, each record once, none of those added, all of those deleted.
  for (ListReader* reader : {&admin, &alice}) {
    std::vector<Listed> got;
    TakeTheRest(reader, kind.decode, &got);
    EXPECT_EQ(Names(got), Names(before));
    ExpectInStep(reader->client);
    if (kind.message != 6502) continue;
    // Every user has a PASSWORDV2: the administrator sees each, alice her own alone.
    for (const Listed& l : got) EXPECT_EQ(l.withHash, reader == &admin || l.name == "alice") << l.name;
  }
  EXPECT_EQ(0, server.Stop());
  EXPECT_TRUE(NoSanitizerReport(server));
}

const ListKind kListKinds[] = {
    {"Users", 6502, DecodeUser, "lu", 6506, 6504},
    {"Groups", 6609, DecodeGroup, "LG", 6613, 6611},
};

INSTANTIATE_TEST_SUITE_P(Kinds, WholeList, ::testing::ValuesIn(kListKinds),
                         [](const ::testing::TestParamInfo<ListKind>& p) { return std::string(p.param.name); });

}  // namespace
