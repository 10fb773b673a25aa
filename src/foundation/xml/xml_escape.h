// Escaping of text that every XML writer of the server puts out: one rule for
// element text ('&', '<', '>' as three-digit decimal character references) and
// one for attribute values (the same form, with '"' and the white space that a
// reader would normalise added, so that every attribute value reads back).
// Foundation layer: pure string functions, no module state, calls nothing.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// ---- Element text ------------------------------------------------------------

// The escaped form of element text: each '&', '<' and '>' becomes "&#%03u;"
// with the byte's value ("&#038;", "&#060;", "&#062;"); every other byte is
// copied, quotes, control bytes and bytes above 127 included. A '%' is an
// ordinary character. Any length (the result grows as needed).
std::string XMLEscapeString(std::string_view text);

// Appends the escaped form of `text` to `out` (the same bytes as above).
void AppendXMLEscaped(std::string& out, std::string_view text);

// Length of XMLEscapeString(text): the length + 5 for each '&', '<' or '>'.
size_t XMLEscapedLength(std::string_view text);

// ---- Attribute values ----------------------------------------------------------

// The escaped form of an attribute value, for writing between double quotes:
// '&', '<', '>' and '"' and also TAB, LF and CR become "&#%03u;" ("&#038;",
// "&#060;", "&#062;", "&#034;", "&#009;", "&#010;", "&#013;"); every other byte
// is copied. A reader gives back exactly the original bytes (white space in a
// literal attribute value would otherwise come back as blanks).
std::string XMLEscapeAttribute(std::string_view value);

// Appends the escaped attribute value to `out`.
void AppendXMLAttributeEscaped(std::string& out, std::string_view value);

// Length of XMLEscapeAttribute(value): the length + 5 for each escaped byte.
size_t XMLAttributeEscapedLength(std::string_view value);
