// docs/protocol.md against the server itself: every row of the message table
// has its row in the document (ID, handler name, whether it needs a logon),
// the document has no row for an ID the table lacks, the keystream it quotes
// for credential tokens is the scrambler's, and every block layout it gives
// walks the blocks the server's encoders build: each field where the layout
// puts it, with the record's value, and the block's bytes used up exactly.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "config/config_blocks.h"
#include "config/config_model.h"
#include "config/counters.h"
#include "config/param_tree.h"
#include "directory/group_blocks.h"
#include "directory/user_blocks.h"
#include "directory/user_records.h"
#include "foundation/crypto/scrambler.h"
#include "foundation/uid/node_registry.h"
#include "foundation/uid/uid_alloc.h"
#include "requests/message_table.h"
#include "sessions/request_reader.h"
#include "support/server_process.h"
#include "support/temp_dir.h"
#include "support/test_client.h"

namespace {

// docs/protocol.md of the source tree: beside tests/ as ctest names it, else
// found from this file's own path.
std::string ProtocolDocument() {
  std::string tests;
  if (const char* dir = std::getenv("TORVANE_TEST_SOURCE_DIR"); dir != nullptr && *dir != '\0') {
    tests = dir;
  } else {
    tests = __FILE__;
    tests.erase(tests.rfind("/requests/"));
  }
  if (tests.back() != '/') tests += '/';
  return ReadWholeFile(tests + "../docs/protocol.md");
}

// The first three cells of each row of the message table, joined as
// "| <ID> | <handler> | <logon> |": the rows whose first cell is a number and
// whose second names a handler.
std::vector<std::string> MessageRowStarts(const std::string& doc) {
  std::vector<std::string> starts;
  std::istringstream in(doc);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("| ", 0) != 0) continue;
    std::vector<std::string> cells;
    for (size_t from = 2; cells.size() < 3;) {
      const size_t bar = line.find(" | ", from);
      if (bar == std::string::npos) break;
      cells.push_back(line.substr(from, bar - from));
      from = bar + 3;
    }
    if (cells.size() < 3 || cells[0].empty() || cells[0].find_first_not_of("0123456789") != std::string::npos) continue;
    if (cells[1].rfind("IP", 0) != 0 && cells[1] != "LogonCommand") continue;
    starts.push_back("| " + cells[0] + " | " + cells[1] + " | " + cells[2] + " |");
  }
  return starts;
}

TEST(ProtocolDocument, EveryMessageOfTheTableHasItsRowAndNoOtherRowIsThere) {
  const std::string doc = ProtocolDocument();
  ASSERT_FALSE(doc.empty()) << "docs/protocol.md not found";
  std::multiset<std::string> documented;
  for (const std::string& start : MessageRowStarts(doc)) documented.insert(start);
  std::set<std::string> wanted;
  for (const MessageTableEntry& e : MessageTableRows()) {
    const std::string row = "| " + std::to_string(e.messageID) + " | " + e.handlerName + " | " +
                            (e.logonNeeded ? "yes" : "no") + " |";
    wanted.insert(row);
    EXPECT_EQ(1u, documented.count(row)) << row;
  }
  for (const std::string& start : documented) {
    EXPECT_EQ(1u, wanted.count(start)) << "a row for no row of the message table: " << start;
  }
}

TEST(ProtocolDocument, QuotesTheCredentialKeystream) {
  unsigned char zeros[8] = {};
  ScrambleBuffer(zeros, sizeof zeros, kCredentialTokenSeed);
  std::string text;
  for (unsigned char b : zeros) {
    char hex[4];
    std::snprintf(hex, sizeof hex, "%s%02X", text.empty() ? "" : " ", b);
    text += hex;
  }
  char seed[16];
  std::snprintf(seed, sizeof seed, "**0x%X**", kCredentialTokenSeed);
  EXPECT_NE(std::string::npos, ProtocolDocument().find(seed)) << seed;
  EXPECT_NE(std::string::npos, ProtocolDocument().find("begins `" + text + "`")) << text;
}


// ---- The block layouts -----------------------------------------------------------------
//
// The document's layouts are the fenced blocks "```layout NAME". A walk
// reads a block field by field as its layout says and gives each field's
// name and value (u32 and i32 as decimal, f64 with %g, str as its text or
// "(absent)", bytes as hexadecimal), or says where the block and the layout
// part.

struct WalkedField {
  std::string name;
  std::string value;
  bool operator==(const WalkedField& o) const { return name == o.name && value == o.value; }
};
std::ostream& operator<<(std::ostream& out, const WalkedField& f) { return out << f.name << "=" << f.value; }

using Layouts = std::map<std::string, std::vector<std::string>>;

// Every layout of the document, its lines without comments and blanks.
Layouts DocumentLayouts(const std::string& doc) {
  Layouts layouts;
  std::istringstream in(doc);
  std::vector<std::string>* open = nullptr;
  for (std::string line; std::getline(in, line);) {
    if (open == nullptr) {
      if (line.rfind("```layout ", 0) == 0) open = &layouts[line.substr(10)];
      continue;
    }
    if (line.rfind("```", 0) == 0) {
      open = nullptr;
      continue;
    }
    const size_t hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    const size_t first = line.find_first_not_of(' ');
    if (first == std::string::npos) continue;
    line = line.substr(first, line.find_last_not_of(' ') - first + 1);
    open->push_back(line);
  }
  return layouts;
}

std::vector<std::string> Words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

// A number of a layout: decimal, or hexadecimal after 0x; nullopt otherwise.
std::optional<int64_t> Number(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  const long long v = std::strtoll(text.c_str(), &end, 0);
  if (end == nullptr || *end != '\0') return std::nullopt;
  return v;
}

class LayoutWalk {
 public:
  LayoutWalk(const Layouts& layouts, const std::vector<unsigned char>& block) : layouts_(layouts), block_(block) {}

  // Walks `layout` over the whole block. True when every line fit and the
  // block ended where the layout did; else error() says why.
  bool Whole(const std::string& layout) {
    std::map<std::string, int64_t> values;
    if (!Walk(layout, &values)) return false;
    if (at_ != block_.size()) return Fail("the layout ends at byte " + std::to_string(at_) + " of " +
                                          std::to_string(block_.size()));
    return true;
  }
  const std::vector<WalkedField>& fields() const { return fields_; }
  const std::string& error() const { return error_; }

 private:
  using Values = std::map<std::string, int64_t>;

  bool Fail(const std::string& why) {
    if (error_.empty()) error_ = why;
    return false;
  }

  bool Walk(const std::string& layout, Values* values) {
    auto it = layouts_.find(layout);
    if (it == layouts_.end()) return Fail("no layout " + layout);
    if (++depth_ > 64) return Fail("layouts nested too deeply");
    const bool ok = Lines(it->second, 0, it->second.size(), values);
    --depth_;
    return ok;
  }

  // The line that closes the group opened at `open`.
  size_t EndOf(const std::vector<std::string>& lines, size_t open, size_t end) {
    int depth = 0;
    for (size_t i = open; i < end; ++i) {
      const std::string first = Words(lines[i])[0];
      if (first == "repeat" || first == "elements" || first == "if" || first == "sized") ++depth;
      if (first == "end" && --depth == 0) return i;
    }
    return end;
  }

  bool Value(const Values& values, const std::string& name, int64_t* v) {
    auto it = values.find(name);
    if (it == values.end()) return Fail("no field " + name + " read before");
    *v = it->second;
    return true;
  }

  bool Condition(const std::vector<std::string>& w, const Values& values, bool* holds) {
    int64_t v = 0;
    if (w.size() < 4 || !Value(values, w[1], &v)) return Fail("a bad condition");
    if (w[2] == "in") {
      *holds = false;
      for (size_t i = 3; i < w.size(); ++i) {
        std::optional<int64_t> n = Number(w[i]);
        if (!n) return Fail("a bad value " + w[i]);
        *holds = *holds || v == *n;
      }
      return true;
    }
    std::optional<int64_t> n = Number(w[3]);
    if (!n || w.size() != 4) return Fail("a bad condition");
    if (w[2] == "&") *holds = (v & *n) != 0;
    else if (w[2] == "==") *holds = v == *n;
    else if (w[2] == "!=") *holds = v != *n;
    else return Fail("a bad operator " + w[2]);
    return true;
  }

  bool Take(size_t n, const unsigned char** bytes) {
    if (block_.size() - at_ < n) return Fail("the block ends before byte " + std::to_string(at_ + n));
    *bytes = block_.data() + at_;
    at_ += n;
    return true;
  }

  static uint32_t LE32(const unsigned char* b) {
    return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 | static_cast<uint32_t>(b[2]) << 16 |
           static_cast<uint32_t>(b[3]) << 24;
  }

  bool Field(const std::vector<std::string>& w, Values* values) {
    const std::string& type = w[0];
    if (w.size() < 2) return Fail("a field without a name");
    const std::string& name = w[1];
    const unsigned char* b = nullptr;
    std::string text;
    int64_t number = 0;
    size_t rest = 2;
    if (type == "u32" || type == "i32") {
      if (!Take(4, &b)) return false;
      number = type == "u32" ? static_cast<int64_t>(LE32(b)) : static_cast<int64_t>(static_cast<int32_t>(LE32(b)));
      text = std::to_string(number);
    } else if (type == "f64") {
      if (!Take(8, &b)) return false;
      uint64_t bits = static_cast<uint64_t>(LE32(b)) | static_cast<uint64_t>(LE32(b + 4)) << 32;
      double d = 0;
      std::memcpy(&d, &bits, sizeof d);
      char buf[64];
      std::snprintf(buf, sizeof buf, "%g", d);
      text = buf;
    } else if (type == "str") {
      if (!Take(4, &b)) return false;
      const uint32_t length = LE32(b);
      if (length == 0) {
        text = "(absent)";
      } else {
        if (!Take(length, &b)) return false;
        if (b[length - 1] != 0) return Fail("the text of " + name + " does not end in its NUL");
        text.assign(reinterpret_cast<const char*>(b), length - 1);
      }
    } else if (type == "bytes") {
      std::optional<int64_t> n = w.size() > 2 ? Number(w[2]) : std::nullopt;
      if (!n || *n < 0 || !Take(static_cast<size_t>(*n), &b)) return Fail("bad bytes " + name);
      for (int64_t i = 0; i < *n; ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02X", b[i]);
        text += hex;
      }
      rest = 3;
    } else {
      return Fail("an unknown line: " + type);
    }
    if (w.size() > rest) {
      std::optional<int64_t> fixed = w.size() == rest + 2 && w[rest] == "=" ? Number(w[rest + 1]) : std::nullopt;
      if (!fixed) return Fail("a bad fixed value after " + name);
      if (*fixed != number) return Fail(name + " is " + text + ", the layout says " + w[rest + 1]);
    }
    (*values)[name] = number;
    fields_.push_back({name, text});
    return true;
  }

  // A block of `layout`, then the chain of its first child (and, for a
  // chain, of its next sibling).
  bool Tree(const std::string& layout, bool withSiblings) {
    Values node;
    if (!Walk(layout, &node)) return false;
    int64_t child = 0, sibling = 0;
    if (!Value(node, "child", &child) || !Value(node, "sibling", &sibling)) return false;
    if (child != 0 && !Tree(layout, true)) return false;
    return !withSiblings || sibling == 0 || Tree(layout, true);
  }

  bool Lines(const std::vector<std::string>& lines, size_t begin, size_t end, Values* values) {
    for (size_t i = begin; i < end; ++i) {
      const std::vector<std::string> w = Words(lines[i]);
      const std::string& first = w[0];
      if (first == "layout" || first == "subtree" || first == "chain") {
        if (w.size() != 2) return Fail("a bad line: " + lines[i]);
        if (first == "layout") {
          Values inner;
          if (!Walk(w[1], &inner)) return false;
        } else if (!Tree(w[1], first == "chain")) {
          return false;
        }
        continue;
      }
      if (first == "repeat" || first == "elements" || first == "if" || first == "sized") {
        const size_t close = EndOf(lines, i, end);
        if (close == end) return Fail("no end for: " + lines[i]);
        int64_t n = 0;
        if (first == "if") {
          bool holds = false;
          if (!Condition(w, *values, &holds)) return false;
          n = holds ? 1 : 0;
        } else {
          if (w.size() != 2 || !Value(*values, w[1], &n)) return Fail("a bad line: " + lines[i]);
          if (first == "elements" && n == -1) n = 1;
          if (n < 0 || static_cast<uint64_t>(n) > block_.size()) return Fail(w[1] + " is " + std::to_string(n));
        }
        if (first == "sized") {
          const size_t start = at_;
          if (n > 0 && !Lines(lines, i + 1, close, values)) return false;
          if (at_ - start != static_cast<size_t>(n)) {
            return Fail("the lines of sized " + w[1] + " take " + std::to_string(at_ - start) + " bytes of " +
                        std::to_string(n));
          }
        } else {
          for (int64_t k = 0; k < n; ++k) {
            if (!Lines(lines, i + 1, close, values)) return false;
          }
        }
        i = close;
        continue;
      }
      if (first == "end") return Fail("an end without its group");
      if (!Field(w, values)) return false;
    }
    return true;
  }

  const Layouts& layouts_;
  const std::vector<unsigned char>& block_;
  size_t at_ = 0;
  int depth_ = 0;
  std::vector<WalkedField> fields_;
  std::string error_;
};

// The fields of `block` walked with the document's `layout`; an empty list
// (and a failure) when the layout does not walk it whole.
std::vector<WalkedField> WalkWithDocument(const std::string& layout, const std::vector<unsigned char>& block) {
  static const Layouts layouts = DocumentLayouts(ProtocolDocument());
  LayoutWalk walk(layouts, block);
  if (!walk.Whole(layout)) {
    ADD_FAILURE() << "layout " << layout << ": " << walk.error();
    return {};
  }
  return walk.fields();
}

TEST(ProtocolDocument, HasALayoutForEveryBlock) {
  const Layouts layouts = DocumentLayouts(ProtocolDocument());
  for (const char* name : {"user", "group", "node", "subtree", "chain", "application", "counters", "period", "sid"}) {
    EXPECT_EQ(1u, layouts.count(name)) << name;
  }
  // The walk is strict: a block read with another block's layout does not fit.
  GroupStruct group;
  group.name = "Staff";
  std::vector<unsigned char> block;
  ASSERT_TRUE(ConvertGroupToTransportBlock(&group, block));
  LayoutWalk wrong(layouts, block);
  EXPECT_FALSE(wrong.Whole("user"));
  LayoutWalk right(layouts, block);
  EXPECT_TRUE(right.Whole("group")) << right.error();
}

class BlockLayoutTest : public ::testing::Test {
 protected:
  static void Reset() {
    ResetConfigRoot();
    FreeAllParamTreeNodes();
    ResetNodeRegistry();
    ResetUIDAllocation();
  }
  void SetUp() override { Reset(); }
  void TearDown() override { Reset(); }
};

TEST_F(BlockLayoutTest, TheUserBlock) {
  UserStruct full;
  full.header.uid = 0x22;
  full.header.kind = 6;
  full.header.timeStamp = 1700000000;
  full.USERNAME = "bob";
  full.FORENAME = "Bob";
  full.SURNAME = "Stone";
  full.EMAIL = "bob@example.org";
  full.GROUPLIST = "Everyone;Staff";
  full.PASSWORD = 0x1234;
  full.PASSWORDV2 = "$2a$12$abcdefghijklmnopqrstuuABCDEFGHIJKLMNOPQRSTUVWXYZ01234";
  full.fields = {{"colour", "blue"}, {"zone", std::nullopt}};
  full.ADUSER = 1;
  full.LEVEL = 0x8000;
  std::vector<unsigned char> block;
  ASSERT_TRUE(ConvertUserToTransportBlock(&full, block));
  EXPECT_EQ(WalkWithDocument("user", block),
            (std::vector<WalkedField>{{"UID", "34"}, {"kind", "6"}, {"timeStamp", "1700000000"}, {"flags", "2"},
                                      {"spare", "0"}, {"PASSWORD", "4660"}, {"N", "2"}, {"USERNAME", "bob"},
                                      {"FORENAME", "Bob"}, {"SURNAME", "Stone"}, {"EMAIL", "bob@example.org"},
                                      {"GROUPLIST", "Everyone;Staff"}, {"PASSWORDV2", *full.PASSWORDV2},
                                      {"fieldName", "colour"}, {"fieldValue", "blue"}, {"fieldName", "zone"},
                                      {"fieldValue", "(absent)"}, {"ADUSER", "1"}, {"LEVEL", "32768"}}));
  UserStruct bare;
  bare.header.uid = 7;
  bare.header.kind = 6;
  bare.USERNAME = "al";
  block.clear();
  ASSERT_TRUE(ConvertUserToTransportBlock(&bare, block));
  EXPECT_EQ(WalkWithDocument("user", block),
            (std::vector<WalkedField>{{"UID", "7"}, {"kind", "6"}, {"timeStamp", "0"}, {"flags", "2"}, {"spare", "0"},
                                      {"PASSWORD", "0"}, {"N", "0"}, {"USERNAME", "al"}, {"FORENAME", "(absent)"},
                                      {"SURNAME", "(absent)"}, {"EMAIL", "(absent)"}, {"GROUPLIST", "(absent)"},
                                      {"PASSWORDV2", "(absent)"}, {"ADUSER", "0"}, {"LEVEL", "0"}}));
}

TEST_F(BlockLayoutTest, TheGroupBlock) {
  GroupStruct staff;
  staff.header.uid = 0x31;
  staff.header.kind = 7;
  staff.name = "Staff";
  staff.description = "who works here";
  staff.members = {"alice", "bob"};
  std::vector<unsigned char> block;
  ASSERT_TRUE(ConvertGroupToTransportBlock(&staff, block));
  EXPECT_EQ(WalkWithDocument("group", block),
            (std::vector<WalkedField>{{"UID", "49"}, {"kind", "7"}, {"timeStamp", "0"}, {"flags", "0"}, {"spare", "0"},
                                      {"M", "2"}, {"name", "Staff"}, {"description", "who works here"},
                                      {"member", "alice"}, {"member", "bob"}}));
  GroupStruct added;  // added since the last start: UID and kind 0
  added.name = "New";
  block.clear();
  ASSERT_TRUE(ConvertGroupToTransportBlock(&added, block));
  EXPECT_EQ(WalkWithDocument("group", block),
            (std::vector<WalkedField>{{"UID", "0"}, {"kind", "0"}, {"timeStamp", "0"}, {"flags", "0"}, {"spare", "0"},
                                      {"M", "0"}, {"name", "New"}, {"description", "(absent)"}}));
}

// The header and links of a node block, then its name and value fields.
std::vector<WalkedField> NodeFields(const ParamTreeNode* n, const std::vector<WalkedField>& value) {
  std::vector<WalkedField> out = {{"UID", std::to_string(n->header.uid)},
                                  {"kind", "5"},
                                  {"timeStamp", "0"},
                                  {"flags", "0"},
                                  {"spare", "0"},
                                  {"parent", std::to_string(n->parent)},
                                  {"sibling", std::to_string(n->sibling)},
                                  {"child", std::to_string(n->child)},
                                  {"type", std::to_string(n->type)},
                                  {"count", std::to_string(n->count)},
                                  {"capacity", std::to_string(n->capacity)},
                                  {"name", n->name ? *n->name : "(absent)"}};
  out.insert(out.end(), value.begin(), value.end());
  return out;
}

// Every type of value a node block carries, scalar and array, and a node
// without a value or a name.
TEST_F(BlockLayoutTest, TheNodeBlockOfEveryTypeOfValue) {
  struct Case {
    const char* id;
    std::function<void(ParamTreeNode*)> set;
    std::vector<WalkedField> value;  // dataSize, then the value's fields
  };
  auto strings = [](std::vector<std::string> texts) {
    return [texts](ParamTreeNode* n) {
      n->type = PARAM_TYPE_STRING;
      n->count = n->capacity = static_cast<int32_t>(texts.size());
      n->data = ParamValue{};
      n->data->strings = texts;
    };
  };
  auto fixed = [](int32_t count, std::vector<FixedString> items) {
    return [count, items](ParamTreeNode* n) {
      n->type = PARAM_TYPE_FIXED_STRING;
      n->count = n->capacity = count;
      n->data = ParamValue{};
      n->data->fixedStrings = items;
    };
  };
  auto words = [](uint32_t type, int32_t count, std::vector<uint32_t> ws) {
    return [type, count, ws](ParamTreeNode* n) {
      n->type = type;
      n->count = n->capacity = count;
      n->data = ParamValue{};
      n->data->words = ws;
    };
  };
  const Case cases[] = {
      {"a STRING scalar", [](ParamTreeNode* n) { SetParamStringValue(n, "ab"); }, {{"dataSize", "7"}, {"text", "ab"}}},
      {"a STRING array", strings({"a", "bc"}), {{"dataSize", "13"}, {"text", "a"}, {"text", "bc"}}},
      {"a FIXED_STRING scalar", [](ParamTreeNode* n) { SetParamFixedStringValue(n, 8, "xy"); },
       {{"dataSize", "11"}, {"width", "8"}, {"text", "xy"}}},
      {"a FIXED_STRING array", fixed(2, {{4, "p"}, {6, "qr"}}),
       {{"dataSize", "21"}, {"width", "4"}, {"text", "p"}, {"width", "6"}, {"text", "qr"}}},
      {"an INTEGER", [](ParamTreeNode* n) { SetParamWordValue(n, PARAM_TYPE_INTEGER, static_cast<uint32_t>(-5)); },
       {{"dataSize", "4"}, {"word", "-5"}}},
      {"a DWORD array", words(PARAM_TYPE_DWORD, 2, {7, 9}), {{"dataSize", "8"}, {"word", "7"}, {"word", "9"}}},
      {"a DATE", [](ParamTreeNode* n) { SetParamWordValue(n, PARAM_TYPE_DATE, 1700000000); },
       {{"dataSize", "4"}, {"word", "1700000000"}}},
      {"a TIME", [](ParamTreeNode* n) { SetParamWordValue(n, PARAM_TYPE_TIME, 3600); }, {{"dataSize", "4"}, {"word", "3600"}}},
      {"a DATE_TIME", [](ParamTreeNode* n) { SetParamWordValue(n, PARAM_TYPE_DATE_TIME, 12); },
       {{"dataSize", "4"}, {"word", "12"}}},
      {"a FLOAT", [](ParamTreeNode* n) { SetParamFloatValue(n, 2.5); }, {{"dataSize", "8"}, {"number", "2.5"}}},
      {"an INTEGER array of no element", words(PARAM_TYPE_INTEGER, 0, {}), {{"dataSize", "0"}}},
      {"no value", [](ParamTreeNode*) {}, {{"dataSize", "0"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    ParamTreeNode* n = CreateParamTreeNode(0);
    ASSERT_NE(n, nullptr);
    n->name = "Setting";
    n->parent = 3;
    c.set(n);
    std::vector<unsigned char> block;
    ASSERT_EQ(0, ConvertParamTreeNodeToTransportBlock(n, block));
    EXPECT_EQ(WalkWithDocument("node", block), NodeFields(n, c.value));
  }
  ParamTreeNode* nameless = CreateParamTreeNode(0);
  ASSERT_NE(nameless, nullptr);
  std::vector<unsigned char> block;
  ASSERT_EQ(0, ConvertParamTreeNodeToTransportBlock(nameless, block));
  EXPECT_EQ(WalkWithDocument("node", block), NodeFields(nameless, {{"dataSize", "0"}}));
}

// The names of the nodes a tree walk met, in order.
std::vector<std::string> NodeNames(const std::vector<WalkedField>& fields) {
  std::vector<std::string> names;
  for (const WalkedField& f : fields) {
    if (f.name == "name") names.push_back(f.value);
  }
  return names;
}

// A tree of A (children B and C, B with child D) followed by its sibling E.
ParamTreeNode* MakeTree() {
  ParamTreeNode* a = AddParamTreeNode(0, "A", 0);
  ParamTreeNode* e = AddParamTreeNode(0, "E", 0);
  if (a == nullptr || e == nullptr) return nullptr;
  a->sibling = e->header.uid;
  ParamTreeNode* b = AddParamTreeNode(a->header.uid, "B", 0);
  if (b == nullptr || AddParamTreeNode(a->header.uid, "C", 0) == nullptr) return nullptr;
  if (AddParamTreeNode(b->header.uid, "D", 0) == nullptr) return nullptr;
  SetParamStringValue(b, "b");
  SetParamWordValue(e, PARAM_TYPE_INTEGER, 4);
  return a;
}

TEST_F(BlockLayoutTest, TreesWithAndWithoutTheFirstNodesSiblings) {
  ParamTreeNode* a = MakeTree();
  ASSERT_NE(a, nullptr);
  std::vector<unsigned char> block;
  ASSERT_EQ(0, ConvertParamTreeToTransportBlock(a, block, false));
  EXPECT_EQ(NodeNames(WalkWithDocument("subtree", block)), (std::vector<std::string>{"A", "B", "D", "C"}));
  block.clear();
  ASSERT_EQ(0, ConvertParamTreeToTransportBlock(a, block, true));
  EXPECT_EQ(NodeNames(WalkWithDocument("chain", block)), (std::vector<std::string>{"A", "B", "D", "C", "E"}));
}

TEST_F(BlockLayoutTest, TheApplicationBlockWithBothTreesAndWithNone) {
  ApplicationStruct app;
  app.name = "Brindle";
  app.header.timeStamp = 1700000001;
  app.configRoot = MakeTree();
  ASSERT_NE(app.configRoot, nullptr);
  app.permRoot = AddParamTreeNode(0, "P", 0);
  ASSERT_NE(app.permRoot, nullptr);
  std::vector<unsigned char> block;
  ASSERT_EQ(0, ConvertAppToTransportBlock(&app, block));
  const std::vector<WalkedField> fields = WalkWithDocument("application", block);
  ASSERT_GE(fields.size(), 8u);
  EXPECT_EQ(std::vector<WalkedField>(fields.begin(), fields.begin() + 8),
            (std::vector<WalkedField>{{"UID", "0"}, {"kind", "0"}, {"timeStamp", "1700000001"}, {"flags", "0"},
                                      {"spare", "0"}, {"name", "Brindle"},
                                      {"configUID", std::to_string(app.configRoot->header.uid)},
                                      {"permUID", std::to_string(app.permRoot->header.uid)}}));
  EXPECT_EQ(NodeNames(std::vector<WalkedField>(fields.begin() + 8, fields.end())),
            (std::vector<std::string>{"A", "B", "D", "C", "E", "P"}));
  app.configRoot = app.permRoot = nullptr;  // the nodes are the registry's, freed with it

  ApplicationStruct empty;
  empty.name = "Quiet";
  block.clear();
  ASSERT_EQ(0, ConvertAppToTransportBlock(&empty, block));
  EXPECT_EQ(WalkWithDocument("application", block),
            (std::vector<WalkedField>{{"UID", "0"}, {"kind", "0"}, {"timeStamp", "0"}, {"flags", "0"}, {"spare", "0"},
                                      {"name", "Quiet"}, {"configUID", "0"}, {"permUID", "0"}}));
}

// The counter block as the store fills it: each period's counters where the
// store's own word table puts them, the words between the periods 0.
TEST(ProtocolDocument, TheCounterBlock) {
  GreenDataBlock counters;
  std::vector<WalkedField> expected;
  for (int32_t period = 0; period < kGreenPeriodCount; ++period) {
    for (int32_t kind = 0; kind < kGreenDocTypeCount; ++kind) {
      const size_t docs = kGreenBlockPeriodFirstWord[period] + 2 * static_cast<size_t>(kind);
      counters.words[docs] = 1000 * (period + 1) + 10 * kind;
      counters.words[docs + 1] = 1000 * (period + 1) + 10 * kind + 1;
      expected.push_back({std::string("Docs") + GetGreenDocTypeName(kind), std::to_string(counters.words[docs])});
      expected.push_back({std::string("Pages") + GetGreenDocTypeName(kind), std::to_string(counters.words[docs + 1])});
    }
    if (period > 0) expected.push_back({"spare" + std::to_string(period), "0"});
  }
  std::vector<unsigned char> block(kGreenDataBlockSize);
  EncodeGreenDataBlock(counters, block.data());
  EXPECT_EQ(WalkWithDocument("counters", block), expected);
}

// The session ID of a logon reply, from the real server over TCP.
TEST(ProtocolDocument, TheSessionIDOfALogonReply) {
  ServerProcess server;
  ASSERT_EQ(0, server.Initialise()) << server.LastRun();
  ASSERT_TRUE(server.Start()) << server.Log();
  TestClient client = TestClient::ConnectLoopback(server.Port());
  ASSERT_TRUE(client.Send(TestRequest().LogonHeader(0x0101, kTokInternal, CredentialToken("administrator", std::string("quernstoneway")))));
  ASSERT_EQ(client.RecvInt(), 0);
  TestBytes sid;
  ASSERT_TRUE(client.RecvBytes(12, &sid));
  EXPECT_TRUE(client.NothingPending(200)) << "the session ID is the whole logon reply after its code";
  const std::vector<WalkedField> fields = WalkWithDocument("sid", std::vector<unsigned char>(sid.begin(), sid.end()));
  ASSERT_EQ(fields.size(), 3u);
  EXPECT_EQ(fields[0], (WalkedField{"version", "1"}));
  EXPECT_EQ(fields[1], (WalkedField{"length", "4"}));
  // The bytes the walk gave back re-attach.
  TestSID bytes{};
  std::copy(sid.begin() + 8, sid.end(), bytes.begin());
  TestClient again = TestClient::ConnectLoopback(server.Port());
  EXPECT_EQ(again.AttachBySID(bytes, 0x0102), 0);
  EXPECT_EQ(0, server.Stop()) << server.Log();
}

}  // namespace
