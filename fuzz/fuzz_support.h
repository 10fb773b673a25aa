// Shared pieces of the libFuzzer harnesses: the temporary home directory each
// harness works in (on tmpfs when there is one, so the atomic replacements'
// syncs cost nothing), the reset of every store between inputs, the check
// that reports a broken expectation as a crash, and canonical text dumps of
// users, XML trees and parameter trees used to compare a store before a
// write with the same store read back.
// Fuzzing only: calls the stores' public headers and the tests' reset helper.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/config_model.h"
#include "config/param_tree.h"
#include "config/server_lists.h"
#include "directory/user_records.h"
#include "directory/users_files.h"
#include "foundation/settings/server_settings.h"
#include "foundation/xml/xml_tree.h"
#include "support/directory_reset.h"

namespace fuzz {

// A copy of standard error taken before libFuzzer closes it (-close_fd_mask=2
// silences the stores' log lines): broken expectations are reported here.
inline FILE*& ReportStream() {
  static FILE* stream = nullptr;
  return stream;
}

inline void OpenReportStream() {
  if (ReportStream() != nullptr) return;
  int fd = dup(2);
  ReportStream() = fd >= 0 ? fdopen(fd, "w") : stderr;
}

[[noreturn]] inline void Fail(const char* file, int line, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
inline void Fail(const char* file, int line, const char* format, ...) {
  FILE* out = ReportStream() ? ReportStream() : stderr;
  std::fprintf(out, "\n==FUZZ CHECK FAILED at %s:%d: ", file, line);
  va_list args;
  va_start(args, format);
  std::vfprintf(out, format, args);
  va_end(args);
  std::fprintf(out, "\n");
  std::fflush(out);
  std::abort();
}

#define FUZZ_CHECK(cond, ...)                                    \
  do {                                                           \
    if (!(cond)) ::fuzz::Fail(__FILE__, __LINE__, __VA_ARGS__);  \
  } while (0)

// ---- The home directory ------------------------------------------------------------

// The process's temporary home directory (ends in '/'), made at the first
// call with envs/, schemas/ and users/ inside, removed at exit.
inline const std::string& Home() {
  // Never destroyed: the exit handler below still needs it.
  static const std::string& home = *new std::string([] {
    std::string base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
    std::string pattern = base + "/torvane-fuzz-XXXXXX";
    char* made = mkdtemp(pattern.data());
    if (made == nullptr) Fail(__FILE__, __LINE__, "cannot make a temporary home under %s", base.c_str());
    std::string dir = std::string(made) + "/";
    for (const char* sub : {"envs", "schemas", "users"}) std::filesystem::create_directory(dir + sub);
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(Home(), ec);
    });
    return dir;
  }());
  return home;
}

// Empties the home directory's files (the three folders stay, emptied).
inline void ClearHome() {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(Home(), ec)) {
    if (entry.is_directory()) {
      for (const auto& inner : std::filesystem::directory_iterator(entry.path(), ec)) {
        std::filesystem::remove_all(inner.path(), ec);
      }
    } else {
      std::filesystem::remove(entry.path(), ec);
    }
  }
}

inline void WriteFileBytes(const std::string& path, std::string_view bytes) {
  FILE* fp = std::fopen(path.c_str(), "wb");
  if (fp == nullptr) Fail(__FILE__, __LINE__, "cannot write %s", path.c_str());
  if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), fp) != bytes.size()) {
    Fail(__FILE__, __LINE__, "cannot write %s", path.c_str());
  }
  std::fclose(fp);
}

inline std::string ReadFileBytes(const std::string& path) {
  std::string out;
  FILE* fp = std::fopen(path.c_str(), "rb");
  if (fp == nullptr) return out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, fp)) > 0) out.append(buf, n);
  std::fclose(fp);
  return out;
}

// Every store back to its start-up state, pointed at the home directory
// (UIDs from the in-process counter).
inline void ResetStores() {
  ResetDirectoryState();
  ResetServerLists();
  SetHomeDirectory(Home().c_str());
}

// Start of every harness: the report stream, the home directory, the stores
// reset, and their release at exit. The stores' own module state is made
// here, before the exit handler is registered, so the handler runs while
// that state still exists: what the last input left is then freed, not
// reported as a leak when the process ends.
inline void InitHarness() {
  OpenReportStream();
  Home();
  ResetStores();
  std::atexit([] { ResetStores(); });
}

// The bytes from `pos` up to the next NUL (or the end); `pos` moves past
// that NUL.
inline std::string TakeField(const uint8_t* data, size_t size, size_t& pos) {
  const size_t start = pos;
  while (pos < size && data[pos] != 0) ++pos;
  std::string out(reinterpret_cast<const char*>(data + start), pos - start);
  if (pos < size) ++pos;
  return out;
}

// The input split at NUL bytes into at most `count` fields (the last one
// takes the rest, NULs included).
inline std::vector<std::string> SplitFields(const uint8_t* data, size_t size, size_t count) {
  std::vector<std::string> fields;
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  while (fields.size() + 1 < count) {
    size_t nul = rest.find('\0');
    if (nul == std::string_view::npos) break;
    fields.emplace_back(rest.substr(0, nul));
    rest.remove_prefix(nul + 1);
  }
  fields.emplace_back(rest);
  while (fields.size() < count) fields.emplace_back();
  return fields;
}

// Replaces every "PASSWORDV2" (any case) by "PASSWORDVX": a plain-text
// password in client text is hashed with bcrypt at cost 12 (a quarter of a
// second each), which no fuzzer can afford. The system has no cost setting.
inline void StripPlainPasswords(std::string& text) {
  static const char kName[] = "passwordv2";
  const size_t n = sizeof kName - 1;
  for (size_t i = 0; i + n <= text.size(); ++i) {
    size_t k = 0;
    while (k < n && (text[i + k] | 0x20) == kName[k]) ++k;
    if (k == n) text[i + n - 1] = 'X';
  }
}

// ---- Canonical dumps ---------------------------------------------------------------

inline void AppendQuoted(std::string& out, const std::optional<std::string>& text) {
  if (!text) {
    out += "(null)";
    return;
  }
  out += '"';
  for (unsigned char c : *text) {
    if (c < 0x20 || c == '"' || c == '\\' || c >= 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  out += '"';
}

// A text as the readers give it back after a writer wrote it: the parser
// turns CR LF and a lone CR into LF, and the readers cut every trailing line
// feed. With `emptyIsNull` the empty text is no text (the users files read
// an empty main field or FIELD as absent).
inline std::optional<std::string> ReadBack(const std::optional<std::string>& text, bool emptyIsNull) {
  if (!text) return std::nullopt;
  std::string out;
  out.reserve(text->size());
  for (size_t i = 0; i < text->size(); ++i) {
    char c = (*text)[i];
    if (c == '\r') {
      if (i + 1 < text->size() && (*text)[i + 1] == '\n') continue;
      c = '\n';
    }
    out.push_back(c);
  }
  while (!out.empty() && out.back() == '\n') out.pop_back();
  if (emptyIsNull && out.empty()) return std::nullopt;
  return out;
}

// How node values are compared. The tree writers put a line end after a
// start tag that has children (and the users files after every text), and
// the readers keep that line end as text, cutting only trailing line feeds:
// so an element with children and no text of its own reads back with the
// empty text, and a settings node of the users files without text reads back
// with the empty text. A null value and the empty text are one value here.
inline std::optional<std::string> NodeValue(const XMLNode* node) {
  std::optional<std::string> v = ReadBack(node->value.ToOptional(), false);
  return v ? v : std::optional<std::string>(std::string());
}

// The subtree of `node` (not its siblings) as one text: names, attributes in
// order, values, children in order. With `bareTop` the node's own text and
// attributes are left out (the users files write a USERDATA node's children
// only).
inline std::string DumpXMLTree(const XMLNode* node, bool bareTop = false) {
  std::string out;
  if (node == nullptr) return "(none)";
  std::vector<std::pair<const XMLNode*, int>> work{{node, 0}};
  while (!work.empty()) {
    auto [n, depth] = work.back();
    work.pop_back();
    out.append(static_cast<size_t>(depth) * 2, ' ');
    out += '<';
    AppendQuoted(out, n->name);
    if (bareTop && n == node) {
      out += ">\n";
    } else {
      for (const XMLAttribute& a : n->attributes) {
        out += ' ';
        AppendQuoted(out, a.name);
        out += '=';
        AppendQuoted(out, a.value);
      }
      out += "> ";
      AppendQuoted(out, NodeValue(n));
      out += '\n';
    }
    std::vector<const XMLNode*> children;
    for (const XMLNode* c = n->firstChild; c != nullptr; c = c->nextSibling) children.push_back(c);
    for (auto it = children.rbegin(); it != children.rend(); ++it) work.emplace_back(*it, depth + 1);
  }
  return out;
}

// A user record; with `asReadBack` its texts as the users files give them back.
inline std::string DumpUser(const UserStruct& u, bool asReadBack = true) {
  auto text = [asReadBack](const std::optional<std::string>& t) { return asReadBack ? ReadBack(t, true) : t; };
  std::string out;
  char head[64];
  std::snprintf(head, sizeof head, "uid=%08X kind=%u pw=%08X ad=%d level=%u ", u.header.uid, u.header.kind,
                u.PASSWORD, u.ADUSER, u.LEVEL);
  out += head;
  for (const std::optional<std::string>* t :
       {&u.USERNAME, &u.FORENAME, &u.SURNAME, &u.EMAIL, &u.GROUPLIST, &u.PASSWORDV2}) {
    AppendQuoted(out, text(*t));
    out += ' ';
  }
  for (const UserField& f : u.fields) {
    out += "\n field ";
    AppendQuoted(out, f.name);
    out += '=';
    AppendQuoted(out, text(f.value));
  }
  out += "\n";
  out += DumpXMLTree(u.USERDATA, true);
  return out;
}

// Every user of the array, in array order.
inline std::string DumpAllUsers() {
  std::string out;
  for (int i = 0; i < GetUserCount(); ++i) {
    out += DumpUser(*GetUserByIndex(i));
    out += "----\n";
  }
  return out;
}

// A parameter tree chain from `first`: every top-level subtree dumped, in
// sorted order, since the settings reader puts top-level nodes at the head
// of their chain (a file read back lists them in reverse).
inline std::string DumpParamChain(const ParamTreeNode* first, bool sortTop) {
  std::vector<std::string> tops;
  for (const ParamTreeNode* top = first; top != nullptr; top = GetParamTreeNodeByUID(top->sibling)) {
    std::string out;
    std::vector<std::pair<const ParamTreeNode*, int>> work{{top, 0}};
    while (!work.empty()) {
      auto [n, depth] = work.back();
      work.pop_back();
      char head[96];
      std::snprintf(head, sizeof head, "%*s%08X type=%u count=%d ", depth * 2, "", n->header.uid, n->type, n->count);
      out += head;
      AppendQuoted(out, n->name);
      if (n->data) {
        for (const std::string& s : n->data->strings) {
          out += " s:";
          AppendQuoted(out, ReadBack(s, false));
        }
        for (uint32_t w : n->data->words) out += " w:" + std::to_string(w);
        for (double d : n->data->doubles) out += " d:" + std::to_string(d);
        for (size_t i = 0; i < n->data->fixedStrings.size(); ++i) out += " f";
      } else if (n->child != 0) {
        out += " s:\"\"";  // a node with children reads back with the empty text
      } else {
        out += " (no value)";
      }
      out += '\n';
      std::vector<const ParamTreeNode*> children;
      for (const ParamTreeNode* c = GetParamTreeNodeByUID(n->child); c != nullptr; c = GetParamTreeNodeByUID(c->sibling)) {
        children.push_back(c);
      }
      for (auto it = children.rbegin(); it != children.rend(); ++it) work.emplace_back(*it, depth + 1);
    }
    tops.push_back(std::move(out));
  }
  if (sortTop) std::sort(tops.begin(), tops.end());
  std::string all;
  for (const std::string& t : tops) all += t;
  return all;
}

inline std::string DumpApplication(const ApplicationStruct* app) {
  if (app == nullptr) return "(no application)";
  return "PERMISSIONS\n" + DumpParamChain(app->permRoot, true) + "CONFIGURATION\n" +
         DumpParamChain(app->configRoot, true);
}

// The first line where two dumps differ, for the report.
inline std::string FirstDifference(const std::string& a, const std::string& b) {
  size_t i = 0;
  while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
  size_t start = a.rfind('\n', i);
  start = start == std::string::npos ? 0 : start + 1;
  auto line = [start](const std::string& s) {
    size_t end = s.find('\n', start);
    return s.substr(start, std::min<size_t>(end == std::string::npos ? s.size() : end, start + 300) - start);
  };
  return "before: " + line(a) + "\n  after: " + line(b);
}

}  // namespace fuzz

// Every harness is a program of one file that includes this header once:
// libFuzzer's start-up hook, the same for all of them, is defined here.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::InitHarness();
  return 0;
}
