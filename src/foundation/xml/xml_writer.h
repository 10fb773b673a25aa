// Small shared pieces of the stores' own XML file writers (the users files and
// groups.xml), which write line by line to an open stream with LF line ends.
// Foundation layer: calls the XML escapes only.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

// ---- Text elements ---------------------------------------------------------------

// Appends "<N>text</N>\n" to `out`, the text escaped by XMLEscapeString.
// The caller checks the name and the text (may throw std::bad_alloc).
void AppendXMLTextElement(std::string& out, std::string_view name, std::string_view text);

// Writes "<%s>%s</%s>\n" with the element name, the text escaped by
// XMLEscapeString, and the name again. A null text writes nothing and gives 0;
// an empty text writes the empty element "<N></N>\n". 0; 2 for a null or
// empty name or a null stream; 15 when the write fails.
int WriteXMLTextElement(const char* name, const char* text, FILE* fp);
int WriteXMLTextElement(const char* name, const std::optional<std::string>& text, FILE* fp);
