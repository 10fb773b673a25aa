// Escaping of element text and attribute values for the XML writers.
// Foundation layer: pure string functions, calls nothing.
#include "foundation/xml/xml_escape.h"

namespace {

// Each escaped byte becomes "&#" three decimal digits ";": 6 bytes for 1.
constexpr size_t kEscapeGrowth = 5;

inline bool IsTextSpecial(unsigned char c) { return c == '&' || c == '<' || c == '>'; }

inline bool IsAttributeSpecial(unsigned char c) {
  return c == '&' || c == '<' || c == '>' || c == '"' || c == '\t' || c == '\n' || c == '\r';
}

// "&#%03u;" of the byte, without going through printf.
inline void AppendReference(std::string& out, unsigned char c) {
  char ref[6] = {'&', '#', static_cast<char>('0' + c / 100), static_cast<char>('0' + (c / 10) % 10),
                 static_cast<char>('0' + c % 10), ';'};
  out.append(ref, sizeof ref);
}

template <bool (*Special)(unsigned char)>
void AppendEscaped(std::string& out, std::string_view text) {
  size_t runStart = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (!Special(c)) continue;
    out.append(text.data() + runStart, i - runStart);
    AppendReference(out, c);
    runStart = i + 1;
  }
  out.append(text.data() + runStart, text.size() - runStart);
}

template <bool (*Special)(unsigned char)>
size_t EscapedLength(std::string_view text) {
  size_t n = text.size();
  for (char ch : text) {
    if (Special(static_cast<unsigned char>(ch))) n += kEscapeGrowth;
  }
  return n;
}

}  // namespace

size_t XMLEscapedLength(std::string_view text) { return EscapedLength<IsTextSpecial>(text); }

void AppendXMLEscaped(std::string& out, std::string_view text) { AppendEscaped<IsTextSpecial>(out, text); }

std::string XMLEscapeString(std::string_view text) {
  std::string out;
  out.reserve(XMLEscapedLength(text));
  AppendXMLEscaped(out, text);
  return out;
}

size_t XMLAttributeEscapedLength(std::string_view value) { return EscapedLength<IsAttributeSpecial>(value); }

void AppendXMLAttributeEscaped(std::string& out, std::string_view value) {
  AppendEscaped<IsAttributeSpecial>(out, value);
}

std::string XMLEscapeAttribute(std::string_view value) {
  std::string out;
  out.reserve(XMLAttributeEscapedLength(value));
  AppendXMLAttributeEscaped(out, value);
  return out;
}
