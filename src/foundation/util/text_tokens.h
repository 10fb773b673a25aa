// Small text utilities the module offers beside the core string helpers: copy
// and join, blank/integer/field-name checks, quote stripping, a tokenizer
// with C-style escapes, a hex dump, and qsort comparators.
// Foundation layer: calls the log and the core string helpers (util.h).
#pragma once

#include <cstddef>
#include <cstdio>
#include <optional>
#include <string>

// ---- Copies and joins ---------------------------------------------------------

// A copy of the text, owned by the caller as a std::string; nullopt for null.
// When memory runs out logs "Unable to allocate memory to copy string" (error
// flag set) and gives nullopt.
std::optional<std::string> CopyString(const char* text);

// Appends `source` to the NUL-terminated `dest` of `size` bytes only when both
// lengths together are below size; otherwise logs "Tried to join %s and %s
// into a %d size string" (both texts, size-1) and leaves dest unchanged.
// Gives dest, or null when either text is null.
char* SafeStrJoin(char* dest, const char* source, size_t size);

// ---- Checks --------------------------------------------------------------------

// 1 when every byte is white space (isspace in the "C" locale; the empty text
// counts), 0 otherwise, -1 for null.
int IsBlankString(const char* text);

// Trims blanks and tabs in place (TrimString); 1 when what remains is an
// optional '-' and 1 to 10 decimal digits, 0 otherwise and for null or empty.
int IsIntegerString(char* text);

// 1 for "_LINKS", "_ANNOTATIONS" and "_FAILED_ENTRIES" (any case) and for
// [A-Za-z][A-Za-z0-9_]*; 0 otherwise (the empty text and null included).
int IsValidFieldName(const char* text);

// 1 for an ASCII letter, a digit, '_', '.' or '-'; else 0.
int IsTokenChar(int byte);

// ---- Conversions ------------------------------------------------------------------

// For a text of at least two bytes that begins and ends with '"': cuts the
// closing quote in place and gives the byte after the opening one; otherwise
// the text itself; null for null.
char* StripQuotes(char* text);

// An optional '-' and decimal digits as a signed 32-bit integer; 0 for null
// or as soon as any other byte occurs. Out of range WRAPS modulo 2^32 (the
// digits are accumulated unsigned, then taken as two's complement), so the
// result is always defined: "4294967297" gives 1, "2147483648" gives INT32_MIN.
int StringToInt(const char* text);

// ---- Tokens ------------------------------------------------------------------------

// The longest token is one byte shorter than this.
constexpr size_t kTokenBufferSize = 1024;

// The next token of `text`, returned as a std::string owned by the caller.
// Blanks, tabs, CR and LF are skipped first. At the end of the text: "" and
// *rest (when rest is given) null. A token not beginning with '"' is its
// first byte, whatever it is, and the IsTokenChar bytes after it. A token
// beginning with '"' runs to the next '"' no backslash precedes; a backslash
// makes b, f, n, r, t into BS, FF, LF, CR, TAB and any other byte stand for
// itself; `keepQuotes` keeps the surrounding quotes in the result. *rest
// points at the byte after the token (after the closing quote). nullopt (rest
// untouched) for a null text, an unclosed quote, or a token of
// kTokenBufferSize bytes or more.
std::optional<std::string> GetNextToken(const char* text, const char** rest, bool keepQuotes);

// ---- Dump ---------------------------------------------------------------------------

// Prints "<title> (length: <n>)" and then, 16 bytes a line, "%06x " offset,
// " %02x" per byte with " -" before the ninth, blanks for the missing bytes of
// a short last line, two blanks and the bytes as characters (below 32 or
// above 127 as '.'). Null bytes print "Buffer passed is NULL" after the title
// line. A null title prints as "". Goes to `out` (standard output by default).
void HexDump(const void* bytes, int length, const char* title, FILE* out = stdout);

// ---- Comparators (qsort form) -----------------------------------------------------------

// -1, 0 or 1 comparing the int32, uint32 or double each argument points at.
int CompareInts(const void* a, const void* b);
int CompareUInts(const void* a, const void* b);
int CompareDoubles(const void* a, const void* b);
