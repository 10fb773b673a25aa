// The XML value stack and the current XML value: module state shared by every
// Expat reader of the server (the node-tree parser and the stores' own
// readers). During a parse the current value gathers the character data of the
// innermost open element; each start tag saves the value current at that
// moment and each end tag brings it back.
// Foundation layer: calls the log only. Not re-entrant (one parse at a time).
#pragma once

#include <cstddef>
#include <optional>
#include <string>

// ---- Limits --------------------------------------------------------------------

// Entries added at each growth of the stack.
constexpr int kXMLValueStackStep = 10;
// Deepest nesting any reader accepts: PushXMLValue refuses a push at this depth,
// and the node-tree parser stops a document nested deeper (code 20).
constexpr int kXMLMaxDepth = 256;

// ---- The current XML value ----------------------------------------------------------

// The current XML value: null (std::nullopt) when no text came for the
// innermost open element, otherwise the text gathered so far. Readers may read
// and assign it directly.
std::optional<std::string>& CurrentXMLValue();

// Character-data step of a reader: appends the piece to the current XML value
// (making it an empty text first when it is null). The text grows
// geometrically, so a root gathering one line feed per child stays linear. On
// a failed allocation logs "Unable to allocate %d bytes for XML value" (error
// flag set) with the size wanted, loses the piece and gives -1; else 0.
int AppendXMLValue(const char* piece, int length);

// Sets the current XML value to null (frees its text).
void ClearCurrentXMLValue();

// ---- The stack --------------------------------------------------------------------

// Saves the current XML value on the stack: 0, or -1 when the stack cannot
// grow ("Unable to allocate %d bytes for XML value stack" with the byte size,
// error flag set) or is already kXMLMaxDepth deep (logged); nothing is pushed
// on -1. The text is moved, not copied: after a push the current value is
// null, which is what every start handler sets it to next. A reader treats -1
// as the end of its parse.
int PushXMLValue();

// Frees the current XML value and makes the top saved value current, clearing
// its entry: 0, or -1 on an empty stack (nothing changes).
int PopXMLValue();

// Empties the stack (depth 0); the saved texts are released whatever the
// flag, since entries own their texts here. The current value is not touched.
void ClearXMLValueStack(int freeFlag);

// Empties the stack and releases its array (capacity 0).
void FreeXMLValueStack();

// Number of saved values on the stack.
int XMLValueStackDepth();
// Entries the stack can hold before it next grows (0, 10, 20, ...).
int XMLValueStackCapacity();

// ---- Taking an element's value --------------------------------------------------------

// A copy of the text with every trailing line feed removed (trailing blanks,
// tabs and carriage returns stay); null for a null text. On a failed
// allocation logs "XMLCharToChar:Unable to allocate space for string" (error
// flag set) and gives null.
std::optional<std::string> XMLCharToChar(const std::optional<std::string>& text);
std::optional<std::string> XMLCharToChar(const char* text);

// The end-tag step of a reader that keeps the text: moves the current XML
// value out (no copy, however long the text) with every trailing line feed
// removed, leaving the current value null. The same text XMLCharToChar of the
// current value gives; null when no text came.
std::optional<std::string> TakeXMLValue();
