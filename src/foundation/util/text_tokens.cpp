// Copies, joins, checks, the tokenizer, the hex dump and the comparators.
// Foundation layer: calls the log and the core string helpers.
#include "foundation/util/text_tokens.h"

#include <cstdint>
#include <cstring>
#include <new>

#include "foundation/log/ring_log.h"
#include "foundation/util/util.h"

namespace {
bool IsAsciiLetter(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool IsAsciiDigit(unsigned char c) { return c >= '0' && c <= '9'; }
// isspace in the "C" locale, without the locale.
bool IsCWhiteSpace(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

template <typename T>
int CompareValues(const void* a, const void* b) {
  T x, y;
  memcpy(&x, a, sizeof x);
  memcpy(&y, b, sizeof y);
  return x < y ? -1 : (y < x ? 1 : 0);
}
}  // namespace

std::optional<std::string> CopyString(const char* text) {
  if (text == nullptr) return std::nullopt;
  try {
    return std::string(text);
  } catch (const std::bad_alloc&) {
    WriteLog(1, "Unable to allocate memory to copy string");
    return std::nullopt;
  }
}

char* SafeStrJoin(char* dest, const char* source, size_t size) {
  if (dest == nullptr || source == nullptr) return nullptr;
  size_t have = strlen(dest), add = strlen(source);
  if (have + add < size) {
    memcpy(dest + have, source, add + 1);
  } else {
    WriteLog(0, "Tried to join %s and %s into a %d size string", dest, source,
             static_cast<int>(size) - 1);
  }
  return dest;
}

int IsBlankString(const char* text) {
  if (text == nullptr) return -1;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
    if (!IsCWhiteSpace(*p)) return 0;
  }
  return 1;
}

int IsIntegerString(char* text) {
  if (text == nullptr) return 0;
  const char* t = TrimString(text);
  if (*t == '-') ++t;
  size_t digits = 0;
  for (; t[digits] != '\0'; ++digits) {
    if (!IsAsciiDigit(static_cast<unsigned char>(t[digits]))) return 0;
  }
  return digits >= 1 && digits <= 10 ? 1 : 0;
}

int IsValidFieldName(const char* text) {
  if (text == nullptr || text[0] == '\0') return 0;
  for (const char* special : {"_LINKS", "_ANNOTATIONS", "_FAILED_ENTRIES"}) {
    if (EqualsNoCase(text, special)) return 1;
  }
  if (!IsAsciiLetter(static_cast<unsigned char>(text[0]))) return 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text) + 1; *p; ++p) {
    if (!IsAsciiLetter(*p) && !IsAsciiDigit(*p) && *p != '_') return 0;
  }
  return 1;
}

int IsTokenChar(int byte) {
  const unsigned char c = static_cast<unsigned char>(byte);
  return byte >= 0 && byte <= 255 && (IsAsciiLetter(c) || IsAsciiDigit(c) || c == '_' || c == '.' || c == '-')
             ? 1
             : 0;
}

char* StripQuotes(char* text) {
  if (text == nullptr) return nullptr;
  size_t len = strlen(text);
  if (len >= 2 && text[0] == '"' && text[len - 1] == '"') {
    text[len - 1] = '\0';
    return text + 1;
  }
  return text;
}

int StringToInt(const char* text) {
  if (text == nullptr) return 0;
  bool negative = false;
  if (*text == '-') {
    negative = true;
    ++text;
  }
  uint32_t value = 0;  // unsigned: overflow wraps instead of being undefined
  for (; *text != '\0'; ++text) {
    if (!IsAsciiDigit(static_cast<unsigned char>(*text))) return 0;
    value = value * 10u + static_cast<uint32_t>(*text - '0');
  }
  if (negative) value = 0u - value;
  return static_cast<int>(static_cast<int32_t>(value));
}

std::optional<std::string> GetNextToken(const char* text, const char** rest, bool keepQuotes) {
  if (text == nullptr) return std::nullopt;
  while (*text == ' ' || *text == '\t' || *text == '\r' || *text == '\n') ++text;
  if (*text == '\0') {
    if (rest != nullptr) *rest = nullptr;
    return std::string();
  }
  std::string token;
  const char* p = text;
  if (*p != '"') {
    ++p;
    while (IsTokenChar(static_cast<unsigned char>(*p))) ++p;
    if (static_cast<size_t>(p - text) >= kTokenBufferSize) return std::nullopt;
    token.assign(text, p);
  } else {
    if (keepQuotes) token.push_back('"');
    ++p;
    for (;;) {
      char c = *p;
      if (c == '\0') return std::nullopt;  // no closing quote
      if (c == '"') break;
      if (c == '\\') {
        c = *++p;
        if (c == '\0') return std::nullopt;
        switch (c) {
          case 'b': c = '\b'; break;
          case 'f': c = '\f'; break;
          case 'n': c = '\n'; break;
          case 'r': c = '\r'; break;
          case 't': c = '\t'; break;
          default: break;
        }
      }
      token.push_back(c);
      if (token.size() >= kTokenBufferSize) return std::nullopt;
      ++p;
    }
    ++p;  // past the closing quote
    if (keepQuotes) {
      token.push_back('"');
      if (token.size() >= kTokenBufferSize) return std::nullopt;
    }
  }
  if (rest != nullptr) *rest = p;
  return token;
}

void HexDump(const void* bytes, int length, const char* title, FILE* out) {
  fprintf(out, "%s (length: %d)\n", title != nullptr ? title : "", length);
  if (bytes == nullptr) {
    fputs("Buffer passed is NULL\n", out);
    return;
  }
  const unsigned char* b = static_cast<const unsigned char*>(bytes);
  for (int line = 0; line < length; line += 16) {
    const int n = length - line < 16 ? length - line : 16;
    fprintf(out, "%06x ", static_cast<unsigned>(line));
    for (int i = 0; i < 16; ++i) {
      if (i == 8) fputs(n > 8 ? " -" : "  ", out);
      if (i < n) fprintf(out, " %02x", b[line + i]);
      else fputs("   ", out);
    }
    fputs("  ", out);
    for (int i = 0; i < n; ++i) {
      const unsigned char c = b[line + i];
      fputc(c < 32 || c > 127 ? '.' : c, out);
    }
    fputc('\n', out);
  }
}

int CompareInts(const void* a, const void* b) { return CompareValues<int32_t>(a, b); }
int CompareUInts(const void* a, const void* b) { return CompareValues<uint32_t>(a, b); }
int CompareDoubles(const void* a, const void* b) { return CompareValues<double>(a, b); }
