// The node registry: unsigned order, duplicates, growth in steps of 500,
// re-pointing after the store arrays move, kind-checked lookups, the bulk
// path of start-up loads; and the NodeHeader's byte image and type codes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/log/ring_log.h"
#include "foundation/result_codes.h"
#include "foundation/uid/node_header.h"
#include "foundation/uid/node_registry.h"
#include "foundation/uid/uid_alloc.h"
#include "platform/file_lock.h"
#include "support/temp_dir.h"

namespace {

// A store record as the stores declare theirs.
struct TestRecord {
  NodeHeader header;
  std::string name;
};

TestRecord Rec(UID uid, uint32_t kind = NODE_KIND_USER, const char* name = "") {
  TestRecord r;
  r.header.uid = uid;
  r.header.kind = kind;
  r.name = name;
  return r;
}

std::vector<UID> RegistryUIDs() {
  std::vector<UID> out;
  for (size_t i = 0; i < GetNodeQACount(); ++i) out.push_back(GetNodeQAEntryAt(i)->uid);
  return out;
}

bool LogHas(const std::string& text) { return std::string(GetLogLine()).find(text) != std::string::npos; }

class Registry : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetNodeRegistry();
    ResetUIDAllocation();
    SetLogFileName(nullptr);
    ClearLogLine();
    testing::internal::CaptureStderr();
  }
  void TearDown() override {
    testing::internal::GetCapturedStderr();
    SetNodeQAGrowthFailure(false);
    ResetNodeRegistry();
    ResetUIDAllocation();
  }
};

TEST_F(Registry, OrderIsUnsigned) {
  NodeHeader h[] = {{7, 6, 0, 0, 0}, {3, 6, 0, 0, 0}, {5, 6, 0, 0, 0}, {0xEE6B2803u, 9, 0, 0, 0},
                    {0x7FFFFFFFu, 5, 0, 0, 0}, {0x80000000u, 5, 0, 0, 0}, {1, 5, 0, 0, 0}};
  for (NodeHeader& x : h) ASSERT_EQ(AddNodeToQAArray(&x), x.uid);
  EXPECT_EQ(RegistryUIDs(), (std::vector<UID>{1, 3, 5, 7, 0x7FFFFFFFu, 0x80000000u, 0xEE6B2803u}));
  for (NodeHeader& x : h) EXPECT_EQ(GetNodeByUID(x.uid), &x);
  EXPECT_EQ(CompareUID(0xEE6B2803u, 0x7FFFFFFFu), 1);
  EXPECT_EQ(CompareUID(3, 3), 0);
  EXPECT_EQ(CompareUID(0, 0xFFFFFFFFu), -1);
}

TEST_F(Registry, DuplicateIsRefusedAndChangesNothing) {
  NodeHeader first{42, NODE_KIND_USER, 0, 0, 0};
  NodeHeader second{42, NODE_KIND_PERMISSION, 0, 0, 0};
  ASSERT_EQ(AddNodeToQAArray(&first), 42u);
  EXPECT_EQ(AddNodeToQAArray(&second), 0u);
  EXPECT_EQ(second.uid, 42u);
  EXPECT_EQ(GetNodeQACount(), 1u);
  EXPECT_EQ(GetNodeByUID(42), &first);
}

TEST_F(Registry, NullAndZero) {
  EXPECT_EQ(AddNodeToQAArray(nullptr), 0u);
  EXPECT_EQ(FindNodeQAEntry(5), nullptr);  // empty registry
  NodeHeader a{5, 6, 0, 0, 0};
  ASSERT_EQ(AddNodeToQAArray(&a), 5u);
  EXPECT_EQ(GetNodeByUID(0), nullptr);
  EXPECT_EQ(FindNodeQAEntry(0), nullptr);
  EXPECT_EQ(IsUIDInNodeQA(0), 0);
  EXPECT_EQ(IsUIDInNodeQA(5), 1);
  EXPECT_EQ(IsUIDInNodeQA(6), 0);
  EXPECT_EQ(EnsureNodeInQAArray(nullptr), 0u);
}

TEST_F(Registry, RecordWithoutUIDGetsOneFromUidVal) {
  TempDir dir;
  SetUIDDirectory(dir.path.c_str());
  WriteWholeFile(dir.File("uid.val"), std::string("\x09\x00\x00\x00", 4));
  NodeHeader a{0, NODE_KIND_PARAM_NODE, 0, 0, 0};
  EXPECT_EQ(AddNodeToQAArray(&a), 10u);
  EXPECT_EQ(a.uid, 10u);
  EXPECT_EQ(ReadWholeFile(dir.File("uid.val")), std::string("\x0A\x00\x00\x00", 4));
  EXPECT_EQ(GetNodeByUID(10), &a);
  // Already registered: Ensure gives its UID without a new one.
  EXPECT_EQ(EnsureNodeInQAArray(&a), 10u);
  NodeHeader b{0, NODE_KIND_PARAM_NODE, 0, 0, 0};
  EXPECT_EQ(EnsureNodeInQAArray(&b), 11u);
}

TEST_F(Registry, NoUIDAvailableRegistersNothing) {
  TempDir dir;
  SetUIDDirectory(dir.path.c_str());
  SetLockFileRetryPolicy(2, 0, [](uint32_t) {});
  int holder = -1;  // another process's lock on uid.val
  ASSERT_EQ(TryLockFile(dir.File("uid.lck"), holder), FILE_LOCK_TAKEN);
  NodeHeader a{0, NODE_KIND_USER, 0, 0, 0};
  EXPECT_EQ(AddNodeToQAArray(&a), 0u);
  EXPECT_EQ(a.uid, 0u);
  EXPECT_EQ(GetNodeQACount(), 0u);
  ReleaseFileLock(dir.File("uid.lck"), holder);
}

TEST_F(Registry, UpdateAndRemove) {
  NodeHeader a{3, 6, 0, 0, 0}, b{5, 6, 0, 0, 0}, c{9, 6, 0, 0, 0};
  for (NodeHeader* x : {&a, &b, &c}) AddNodeToQAArray(x);
  NodeHeader moved = b;
  EXPECT_EQ(UpdateNodeQAPointer(&moved), 0);
  EXPECT_EQ(GetNodeByUID(5), &moved);
  NodeHeader zero{0, 6, 0, 0, 0}, absent{4, 6, 0, 0, 0};
  EXPECT_EQ(UpdateNodeQAPointer(nullptr), -1);
  EXPECT_EQ(UpdateNodeQAPointer(&zero), -1);
  EXPECT_EQ(UpdateNodeQAPointer(&absent), -1);

  EXPECT_EQ(RemoveNodeFromQAArray(5), 0);
  EXPECT_EQ(RemoveNodeFromQAArray(5), -1);
  EXPECT_EQ(RemoveNodeFromQAArray(0), -1);
  EXPECT_EQ(RegistryUIDs(), (std::vector<UID>{3, 9}));
  EXPECT_EQ(GetNodeByUID(9), &c);
  EXPECT_EQ(GetNodeQACapacity(), 500u);  // never shrinks
}

TEST_F(Registry, RemoveManyInOnePass) {
  NodeHeader h[6] = {{2, 5, 0, 0, 0}, {4, 5, 0, 0, 0}, {6, 5, 0, 0, 0},
                     {8, 5, 0, 0, 0}, {10, 5, 0, 0, 0}, {12, 5, 0, 0, 0}};
  for (NodeHeader& x : h) AddNodeToQAArray(&x);
  NodeHeader copyOf8 = h[3];  // same UID, another record: its entry stays
  NodeHeader unregistered{7, 5, 0, 0, 0};
  std::vector<const NodeHeader*> doomed{&h[4], &h[0], &copyOf8, &unregistered, nullptr, &h[2]};
  EXPECT_EQ(RemoveNodesFromQAArray(doomed), 3u);
  EXPECT_EQ(RegistryUIDs(), (std::vector<UID>{4, 8, 12}));
  EXPECT_EQ(GetNodeByUID(8), &h[3]);
  EXPECT_EQ(GetNodeQAEntryAt(3), nullptr);
  EXPECT_EQ(RemoveNodesFromQAArray({}), 0u);

  // A copy listed before the stored record does not hide the stored one.
  std::vector<const NodeHeader*> copyFirst{&copyOf8, &h[3]};
  EXPECT_EQ(RemoveNodesFromQAArray(copyFirst), 1u);
  EXPECT_EQ(RegistryUIDs(), (std::vector<UID>{4, 12}));
}

TEST_F(Registry, GrowsInStepsOf500) {
  EXPECT_EQ(GetNodeQACapacity(), 0u);  // unallocated at start
  std::vector<NodeHeader> h(1001);
  for (size_t i = 0; i < h.size(); ++i) {
    h[i].uid = static_cast<UID>(i + 1);
    ASSERT_EQ(AddNodeToQAArray(&h[i]), h[i].uid);
    size_t want = i < 500 ? 500 : (i < 1000 ? 1000 : 1500);
    ASSERT_EQ(GetNodeQACapacity(), want) << "after entry " << i + 1;
  }
}

TEST_F(Registry, GrowthFailureIsLoggedAndRefused) {
  SetNodeQAGrowthFailure(true);
  NodeHeader a{1, 6, 0, 0, 0};
  EXPECT_EQ(AddNodeToQAArray(&a), 0u);
  EXPECT_TRUE(LogHas("Unable to allocate " + std::to_string(500 * sizeof(NodeQAEntry)) +
                     " bytes for node qa array"));
  SetNodeQAGrowthFailure(false);
  std::vector<NodeHeader> h(500);
  for (size_t i = 0; i < h.size(); ++i) {
    h[i].uid = static_cast<UID>(i + 1);
    ASSERT_EQ(AddNodeToQAArray(&h[i]), h[i].uid);
  }
  SetNodeQAGrowthFailure(true);
  NodeHeader b{1000, 6, 0, 0, 0};
  EXPECT_EQ(AddNodeToQAArray(&b), 0u);
  EXPECT_TRUE(LogHas("Unable to resize node qa array to " + std::to_string(1000 * sizeof(NodeQAEntry)) +
                     " bytes"));
  EXPECT_EQ(GetNodeQACount(), 500u);
  EXPECT_EQ(IsUIDInNodeQA(1000), 0);
}

TEST_F(Registry, KindCheckedLookup) {
  TestRecord user = Rec(20, NODE_KIND_USER, "alice");
  TestRecord perm = Rec(21, NODE_KIND_PERMISSION);
  AddNodeToQAArray(&user.header);
  AddNodeToQAArray(&perm.header);
  NodeHeader* out = &user.header;
  EXPECT_EQ(GetNodeOfKind(21, NODE_KIND_PERMISSION, &out), FR_OK);
  EXPECT_EQ(out, &perm.header);
  EXPECT_EQ(GetNodeOfKind(20, NODE_KIND_PERMISSION, &out), FR_WRONG_NODE_KIND);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(GetNodeOfKind(22, NODE_KIND_PERMISSION, &out), FR_NO_SUCH_NODE);
  EXPECT_EQ(GetNodeOfKind(0, NODE_KIND_APPLICATION, &out), FR_NO_SUCH_NODE);
  TestRecord* got = GetRecordByUID<TestRecord>(20, NODE_KIND_USER);
  ASSERT_EQ(got, &user);
  EXPECT_EQ(got->name, "alice");
  EXPECT_EQ(GetRecordByUID<TestRecord>(20, NODE_KIND_GROUP), nullptr);
}

// The store pattern: records by value in a vector that grows, is sorted and
// loses records; the registry must follow every move.
TEST_F(Registry, VectorHelpersKeepEntriesInStep) {
  std::vector<TestRecord> users;  // no reserve: every growth moves the records
  for (UID u = 1001; u <= 1300; ++u) {
    std::string name = "u" + std::to_string((u * 37) % 301);
    ASSERT_EQ(AppendRegisteredRecord(users, Rec(u, NODE_KIND_USER, name.c_str())), u);
    ASSERT_EQ(CountStaleRegistryEntries(users), 0u);
  }
  // Insert in the middle, with a UID to be issued (in-process counter).
  EXPECT_EQ(InsertRegisteredRecord(users, 10, Rec(0, NODE_KIND_USER, "fresh")), 1u);
  EXPECT_EQ(users[10].name, "fresh");
  EXPECT_EQ(users.size(), 301u);
  // A registered UID is refused and leaves the array as it was.
  EXPECT_EQ(InsertRegisteredRecord(users, 3, Rec(1005, NODE_KIND_USER, "dup")), 0u);
  EXPECT_EQ(users.size(), 301u);
  EXPECT_EQ(users[3].header.uid, 1004u);
  UID ok = InsertRegisteredRecord(users, 10, Rec(5000, NODE_KIND_USER, "mid"));
  EXPECT_EQ(ok, 5000u);
  EXPECT_EQ(users[10].name, "mid");
  EXPECT_EQ(CountStaleRegistryEntries(users), 0u);

  {
    ScopedRepoint<TestRecord> rp(users);
    std::sort(users.begin(), users.end(), [](const TestRecord& a, const TestRecord& b) { return a.name < b.name; });
  }
  EXPECT_EQ(CountStaleRegistryEntries(users), 0u);

  UID gone = users[7].header.uid;
  EXPECT_EQ(EraseRegisteredRecord(users, 7), 0);
  EXPECT_EQ(IsUIDInNodeQA(gone), 0);
  EXPECT_EQ(EraseRegisteredRecord(users, users.size()), -1);
  EXPECT_EQ(CountStaleRegistryEntries(users), 0u);
  for (const TestRecord& r : users) EXPECT_EQ(GetRecordByUID<TestRecord>(r.header.uid, NODE_KIND_USER), &r);
  EXPECT_EQ(GetNodeQACount(), users.size());
}

TEST_F(Registry, RepointPassesOverUnregisteredRecords) {
  std::vector<TestRecord> groups = {Rec(kUIDEveryoneGroup, NODE_KIND_GROUP), Rec(0, NODE_KIND_GROUP)};
  EXPECT_EQ(RepointRegistry(groups), 0u);
  EXPECT_EQ(GetNodeQACount(), 0u);
}

// The bulk path gives exactly the results of one-by-one adds: the same
// result per add (duplicates refused at once, against entries from before
// the load too), the same final order and addresses.
TEST_F(Registry, BulkMatchesOneByOne) {
  const size_t n = 3000;
  std::vector<NodeHeader> pre = {{1500, 6, 0, 0, 0}, {0xEE6B2802u, 6, 0, 0, 0}};
  std::vector<NodeHeader> load(n);
  for (size_t i = 0; i < n; ++i) {
    // Name order, not UID order, with repeats and reserved UIDs mixed in.
    load[i].uid = (i % 97 == 0) ? static_cast<UID>(0xEE6B2800u + i % 5)
                                : static_cast<UID>((i * 7919) % (n / 2) + 1);
    load[i].kind = NODE_KIND_USER;
  }

  auto run = [&](bool bulk, std::vector<UID>& results, std::vector<UID>& refused) {
    ResetNodeRegistry();
    for (NodeHeader& h : pre) AddNodeToQAArray(&h);
    if (bulk) BeginBulkRegistration();
    for (NodeHeader& h : load) results.push_back(AddNodeToQAArray(&h));
    if (bulk) {
      EXPECT_TRUE(InBulkRegistration());
      size_t count = EndBulkRegistration(&refused);
      EXPECT_EQ(count, refused.size());
      EXPECT_FALSE(InBulkRegistration());
    }
  };
  std::vector<UID> oneResults, oneRefused, bulkResults, bulkRefused;
  run(false, oneResults, oneRefused);
  std::vector<UID> oneOrder = RegistryUIDs();
  std::vector<NodeHeader*> onePtrs;
  for (UID u : oneOrder) onePtrs.push_back(GetNodeByUID(u));
  run(true, bulkResults, bulkRefused);

  EXPECT_EQ(bulkResults, oneResults);
  EXPECT_EQ(RegistryUIDs(), oneOrder);
  for (size_t i = 0; i < oneOrder.size(); ++i) EXPECT_EQ(GetNodeByUID(oneOrder[i]), onePtrs[i]);
  std::vector<UID> expectRefused;
  for (size_t i = 0; i < n; ++i)
    if (oneResults[i] == 0) expectRefused.push_back(load[i].uid);
  EXPECT_EQ(bulkRefused, expectRefused);
  EXPECT_FALSE(bulkRefused.empty());
  EXPECT_TRUE(std::is_sorted(oneOrder.begin(), oneOrder.end()));
}

TEST_F(Registry, OperationsDuringBulk) {
  BeginBulkRegistration();
  BeginBulkRegistration();  // nothing
  NodeHeader h[] = {{50, 6, 0, 0, 0}, {10, 6, 0, 0, 0}, {30, 6, 0, 0, 0}, {20, 6, 0, 0, 0}};
  for (NodeHeader& x : h) ASSERT_EQ(AddNodeToQAArray(&x), x.uid);
  EXPECT_EQ(GetNodeByUID(30), &h[2]);
  NodeHeader moved = h[3];
  EXPECT_EQ(UpdateNodeQAPointer(&moved), 0);
  EXPECT_EQ(GetNodeByUID(20), &moved);
  EXPECT_EQ(RemoveNodeFromQAArray(10), 0);
  EXPECT_EQ(IsUIDInNodeQA(10), 0);
  NodeHeader late{5, 6, 0, 0, 0}, dup{30, 6, 0, 0, 0};
  EXPECT_EQ(AddNodeToQAArray(&late), 5u);
  EXPECT_EQ(AddNodeToQAArray(&dup), 0u);
  EXPECT_EQ(RegistryUIDs(), (std::vector<UID>{5, 20, 30, 50}));
  std::vector<UID> refused;
  EXPECT_EQ(EndBulkRegistration(&refused), 1u);
  EXPECT_EQ(refused, std::vector<UID>{30});
  EXPECT_EQ(EndBulkRegistration(&refused), 0u);  // idle
  EXPECT_TRUE(refused.empty());
  EXPECT_EQ(GetHighestOrdinaryRegisteredUID(), 50u);
}

// The start-up load: 100,000 users in name order must not cost a shift each.
TEST_F(Registry, BulkLoadOfHundredThousand) {
  const size_t n = 100000;
  std::vector<TestRecord> users;
  users.reserve(n);
  BeginBulkRegistration();
  for (size_t i = 0; i < n; ++i) {
    users.push_back(Rec(static_cast<UID>(((i * 48271) % n) + 1)));  // a permutation of 1..n
    ASSERT_NE(AddNodeToQAArray(&users.back().header), 0u);
  }
  EXPECT_EQ(EndBulkRegistration(), 0u);
  ASSERT_EQ(GetNodeQACount(), n);
  EXPECT_EQ(GetNodeQACapacity(), n);  // n is a multiple of 500
  for (size_t i = 0; i < n; i += 997) EXPECT_EQ(GetNodeQAEntryAt(i)->uid, i + 1);
  EXPECT_EQ(CountStaleRegistryEntries(users), 0u);
}

// ---- NodeHeader ----------------------------------------------------------------

TEST(NodeHeaderImage, EncodesFiveLittleEndianWords) {
  const unsigned char expected[20] = {0x03, 0x28, 0x6B, 0xEE,  // UID 0xEE6B2803
                                      0x09, 0x00, 0x00, 0x00,  // kind 9 (permission)
                                      0x78, 0x56, 0x34, 0x12,  // time 0x12345678
                                      0x02, 0x00, 0x00, 0x00,  // flags 0x2
                                      0x00, 0x00, 0x00, 0x00};
  NodeHeader h{kUIDDefaultPermission, NODE_KIND_PERMISSION, 0x12345678u, kNodeFlagUserBlockHasAdUserLevel, 0};
  unsigned char out[20];
  std::memset(out, 0xAA, sizeof out);
  EncodeNodeHeader(h, out);
  EXPECT_EQ(std::memcmp(out, expected, 20), 0);
  NodeHeader back = DecodeNodeHeader(expected);
  EXPECT_EQ(back.uid, 0xEE6B2803u);
  EXPECT_EQ(back.kind, 9u);
  EXPECT_EQ(back.timeStamp, 0x12345678u);
  EXPECT_EQ(back.flags, 2u);
  EXPECT_EQ(back.spare, 0u);
}

TEST(NodeHeaderImage, TypeCodes) {
  struct Case {
    const char* name;
    int subtype;
    uint32_t code;
  } cases[] = {
      {"user", 3, 0x603},      {"Configuration", 0, 0x500}, {"PERMISSION", 255, 0x5FF}, {"root", 1, 0x101},
      {"Environment", 7, 0x307}, {"application", 0, 0x400}, {"GROUP", 2, 0x702},      {"ROOT", 256, 0},
      {"USER", -1, 0},         {"USERS", 1, 0},             {"", 0, 0},                {nullptr, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name ? c.name : "(null)");
    EXPECT_EQ(MakeNodeTypeCode(c.name, c.subtype), c.code);
  }
  EXPECT_EQ(GetNodeMainType(0x603), 6u);
  EXPECT_EQ(GetNodeSubType(0x603), 3u);
}

}  // namespace
