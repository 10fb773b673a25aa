// Cutting other users' password hashes and history out of users documents:
// one Expat pass notes the byte ranges of the elements to drop, then the
// text is copied around them, so every other byte stays as written.
// Directory layer: calls Expat, the foundation's parser guard and string
// utilities, the users XML exchange (the all-users document) and the log.
#include "directory/users_xml_filter.h"

#include <expat.h>

#include <climits>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "directory/user_settings.h"
#include "directory/users_xml_exchange.h"
#include "foundation/log/ring_log.h"
#include "foundation/result_codes.h"
#include "foundation/util/util.h"
#include "foundation/xml/xml_guard.h"

namespace {

// The path below a USER element (or below the login subsection) that leads to
// the password history.
constexpr const char* kHistoryPathInUser[] = {"USERDATA", kLoginSectionName, kLoginSubsectionName, "Passwords", "Old"};
constexpr size_t kHistoryDepthInUser = sizeof kHistoryPathInUser / sizeof kHistoryPathInUser[0];
constexpr size_t kHistoryDepthInSubsection = 2;  // Passwords, Old

struct ByteRange {
  size_t begin;
  size_t end;
};

struct FilterState {
  XML_Parser parser = nullptr;
  SecretsDocument kind = SECRETS_USERS;
  UID keepFor = 0;
  std::vector<std::string> path;  // names of the open elements, root first
  // The USER element being read: its depth in `path`, where its cut ranges
  // begin in `cuts`, and its UID text.
  size_t userDepth = 0;  // 0: not inside a USER element
  size_t userCutsFrom = 0;
  std::string uidText;
  bool inUID = false;
  // The element being cut: its depth (0 none) and where it began.
  size_t cutDepth = 0;
  size_t cutBegin = 0;
  size_t cutStartTagEnd = 0;
  std::vector<ByteRange> cuts;
};

size_t ByteIndex(XML_Parser parser) {
  const XML_Index at = XML_GetCurrentByteIndex(parser);
  return at < 0 ? 0 : static_cast<size_t>(at);
}

// True when the names of `path` from `from` on are exactly `want` (no case).
bool PathIs(const std::vector<std::string>& path, size_t from, const char* const* want, size_t count) {
  if (path.size() != from + count) return false;
  for (size_t i = 0; i < count; ++i) {
    if (!EqualsNoCase(path[from + i], want[i])) return false;
  }
  return true;
}

// Whether the element just opened (the last of `path`) is one to cut.
bool IsSecretElement(const FilterState& s) {
  if (s.kind == SECRETS_LOGIN_SUBSECTION) {
    return PathIs(s.path, 1, kHistoryPathInUser + kHistoryDepthInUser - kHistoryDepthInSubsection,
                  kHistoryDepthInSubsection);
  }
  if (s.userDepth == 0) return false;
  const std::string& name = s.path.back();
  if (s.path.size() == s.userDepth + 1 && (EqualsNoCase(name, "PASSWORD") || EqualsNoCase(name, "PASSWORDV2"))) {
    return true;
  }
  return PathIs(s.path, s.userDepth, kHistoryPathInUser, kHistoryDepthInUser);
}

void XMLCALL FilterStart(void* data, const XML_Char* name, const XML_Char** /*atts*/) {
  FilterState& s = *static_cast<FilterState*>(data);
  s.path.emplace_back(name);
  if (s.cutDepth != 0) return;
  if (s.kind == SECRETS_USERS && s.userDepth == 0 && s.path.size() <= 2 && EqualsNoCase(name, "USER")) {
    s.userDepth = s.path.size();
    s.userCutsFrom = s.cuts.size();
    s.uidText.clear();
    return;
  }
  if (s.userDepth != 0 && s.path.size() == s.userDepth + 1 && EqualsNoCase(name, "UID")) {
    s.inUID = true;
    s.uidText.clear();
  }
  if (IsSecretElement(s)) {
    s.cutDepth = s.path.size();
    s.cutBegin = ByteIndex(s.parser);
    s.cutStartTagEnd = s.cutBegin + static_cast<size_t>(XML_GetCurrentByteCount(s.parser));
  }
}

void XMLCALL FilterEnd(void* data, const XML_Char* /*name*/) {
  FilterState& s = *static_cast<FilterState*>(data);
  const size_t depth = s.path.size();
  if (s.cutDepth == depth) {
    // An empty-element tag reports its end with no bytes of its own.
    const int count = XML_GetCurrentByteCount(s.parser);
    const size_t end = count > 0 ? ByteIndex(s.parser) + static_cast<size_t>(count) : s.cutStartTagEnd;
    s.cuts.push_back({s.cutBegin, end});
    s.cutDepth = 0;
  }
  if (s.inUID && depth == s.userDepth + 1) s.inUID = false;
  if (s.userDepth == depth) {
    // The USER element of the caller itself keeps its secrets.
    uint32_t uid = 0;
    if (s.keepFor != 0 && (uid = ParseHex32LikeStrtoul(TrimBlanks(s.uidText))) == s.keepFor) s.cuts.resize(s.userCutsFrom);
    s.userDepth = 0;
  }
  s.path.pop_back();
}

void XMLCALL FilterText(void* data, const XML_Char* text, int length) {
  FilterState& s = *static_cast<FilterState*>(data);
  if (s.inUID && length > 0) s.uidText.append(text, static_cast<size_t>(length));
}

}  // namespace

namespace {

// Owns one parser for a run of texts (reset before each).
struct FilterParser {
  XML_Parser parser = XML_ParserCreate(nullptr);
  FilterParser() {
    if (parser == nullptr) throw std::bad_alloc();
  }
  ~FilterParser() { XML_ParserFree(parser); }
  FilterParser(const FilterParser&) = delete;
  FilterParser& operator=(const FilterParser&) = delete;
};

bool StripWith(FilterParser& holder, std::string_view text, SecretsDocument kind, UID keepFor, std::string& out) {
  out.clear();
  if (text.size() > static_cast<size_t>(INT_MAX)) {
    WriteLog(0, "A users document of %zu bytes is too large to filter", text.size());
    return false;
  }
  XML_Parser parser = holder.parser;
  if (XML_ParserReset(parser, nullptr) != XML_TRUE) throw std::bad_alloc();
  FilterState s;
  s.parser = parser;
  s.kind = kind;
  s.keepFor = keepFor;
  XML_SetUserData(parser, &s);
  XML_SetElementHandler(parser, FilterStart, FilterEnd);
  XML_SetCharacterDataHandler(parser, FilterText);
  RefuseXMLEntityDeclarations(parser);
  if (XML_Parse(parser, text.data(), static_cast<int>(text.size()), XML_TRUE) == XML_STATUS_ERROR) {
    WriteLog(0, "XML error %s at line %d\n", XML_ErrorString(XML_GetErrorCode(parser)),
             static_cast<int>(XML_GetCurrentLineNumber(parser)));
    return false;
  }
  out.reserve(text.size());
  size_t at = 0;
  for (const ByteRange& cut : s.cuts) {
    out.append(text.substr(at, cut.begin - at));
    at = cut.end;
    // The line end that followed the element goes with it.
    if (at < text.size() && text[at] == '\r') ++at;
    if (at < text.size() && text[at] == '\n') ++at;
  }
  out.append(text.substr(at));
  return true;
}

}  // namespace

bool StripPasswordSecrets(std::string_view text, SecretsDocument kind, UID keepFor, std::string& out) {
  FilterParser parser;
  return StripWith(parser, text, kind, keepFor, out);
}

std::optional<std::string> GetUsersXMLWithoutSecrets(const char* home, UID keepFor, int* failReason) {
  std::optional<FilterParser> parser;
  std::string filtered;
  try {
    parser.emplace();
  } catch (const std::bad_alloc&) {
    WriteLog(1, "Unable to create XML parser for the users document");
    if (failReason != nullptr) *failReason = FR_NO_MEMORY;
    return std::nullopt;
  }
  return BuildAllUsersXMLV2(
      home,
      [&](UID uid, const std::string& text, std::string& out) {
        if (uid == keepFor) {
          out.append(text);
        } else if (StripWith(*parser, text, SECRETS_USERS, keepFor, filtered)) {
          out.append(filtered);
        } else {
          WriteLog(0, "The users file of %08X does not parse: it is left out of the users document", uid);
        }
      },
      failReason);
}
