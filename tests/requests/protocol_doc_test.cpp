// docs/protocol.md against the server itself: every row of the message table
// has its row in the document (ID, handler name, whether it needs a logon),
// the document has no row for an ID the table lacks, and the keystream it
// quotes for credential tokens is the scrambler's.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/crypto/scrambler.h"
#include "requests/message_table.h"
#include "sessions/request_reader.h"
#include "support/temp_dir.h"

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

}  // namespace
