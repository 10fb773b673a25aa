// Shared text-element writer of the stores' line-by-line XML files.
// Foundation layer: calls the XML escapes only.
#include "foundation/xml/xml_writer.h"

#include <new>
#include <string_view>

#include "foundation/result_codes.h"
#include "foundation/xml/xml_escape.h"

namespace {

// One whole line, handed to the stream in one write.
int WriteTextElementLine(const char* name, std::string_view text, FILE* fp) {
  if (name == nullptr || name[0] == '\0' || fp == nullptr) return FR_INVALID_PARAMETER;
  std::string line;
  try {
    const std::string_view nameView(name);
    line.reserve(2 * nameView.size() + XMLEscapedLength(text) + 6);
    AppendXMLTextElement(line, nameView, text);
  } catch (const std::bad_alloc&) {
    return FR_NO_MEMORY;
  }
  return std::fwrite(line.data(), 1, line.size(), fp) == line.size() ? FR_OK : FR_WRITE_FAILED;
}

}  // namespace

void AppendXMLTextElement(std::string& out, std::string_view name, std::string_view text) {
  out.push_back('<');
  out.append(name);
  out.push_back('>');
  AppendXMLEscaped(out, text);
  out.append("</");
  out.append(name);
  out.append(">\n");
}

int WriteXMLTextElement(const char* name, const char* text, FILE* fp) {
  if (name == nullptr || name[0] == '\0' || fp == nullptr) return FR_INVALID_PARAMETER;
  if (text == nullptr) return FR_OK;
  return WriteTextElementLine(name, text, fp);
}

int WriteXMLTextElement(const char* name, const std::optional<std::string>& text, FILE* fp) {
  if (name == nullptr || name[0] == '\0' || fp == nullptr) return FR_INVALID_PARAMETER;
  if (!text) return FR_OK;
  return WriteTextElementLine(name, *text, fp);
}
