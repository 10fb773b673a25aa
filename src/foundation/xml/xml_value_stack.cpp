// The XML value stack and the current XML value shared by every Expat reader.
// Foundation layer: calls the log only. Module state without locks: all
// parsing runs on the server's working thread, one document at a time.
#include "foundation/xml/xml_value_stack.h"

#include <exception>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

#include "foundation/log/ring_log.h"

namespace {

// The text gathered for the innermost open element (null: none yet).
std::optional<std::string> g_currentValue;

// Saved values: entries 0 .. depth-1 are in use; the vector's size is the
// capacity, grown by kXMLValueStackStep entries (all null beyond the depth).
std::vector<std::optional<std::string>> g_stack;
int g_depth = 0;

}  // namespace

std::optional<std::string>& CurrentXMLValue() { return g_currentValue; }

int AppendXMLValue(const char* piece, int length) {
  if (piece == nullptr || length <= 0) {
    // An empty piece still marks that the element has text.
    if (!g_currentValue) g_currentValue.emplace();
    return 0;
  }
  size_t oldLength = g_currentValue ? g_currentValue->size() : 0;
  try {
    if (!g_currentValue) g_currentValue.emplace();
    // std::string grows geometrically, so many small pieces cost linear time.
    g_currentValue->append(piece, static_cast<size_t>(length));
  } catch (const std::exception&) {  // bad_alloc, or length_error past max_size
    WriteLog(1, "Unable to allocate %d bytes for XML value", static_cast<int>(oldLength + length + 1));
    return -1;
  }
  return 0;
}

void ClearCurrentXMLValue() { g_currentValue.reset(); }

int PushXMLValue() {
  if (g_depth >= kXMLMaxDepth) {
    WriteLog(0, "XML nested deeper than %d elements", kXMLMaxDepth);
    return -1;
  }
  if (g_depth >= static_cast<int>(g_stack.size())) {
    size_t newCapacity = g_stack.size() + kXMLValueStackStep;
    try {
      g_stack.resize(newCapacity);
    } catch (const std::bad_alloc&) {
      WriteLog(1, "Unable to allocate %d bytes for XML value stack",
               static_cast<int>(newCapacity * sizeof(std::optional<std::string>)));
      return -1;
    }
  }
  // Moving keeps a push O(1) however long the text is; the caller's next step
  // (setting the current value to null) is then already done.
  g_stack[g_depth] = std::move(g_currentValue);
  g_currentValue.reset();
  ++g_depth;
  return 0;
}

int PopXMLValue() {
  if (g_depth <= 0) return -1;
  --g_depth;
  g_currentValue = std::move(g_stack[g_depth]);
  g_stack[g_depth].reset();
  return 0;
}

void ClearXMLValueStack(int freeFlag) {
  (void)freeFlag;  // entries own their texts: clearing always releases them
  for (int i = 0; i < g_depth; ++i) g_stack[i].reset();
  g_depth = 0;
}

void FreeXMLValueStack() {
  ClearXMLValueStack(1);
  std::vector<std::optional<std::string>>().swap(g_stack);
}

int XMLValueStackDepth() { return g_depth; }

int XMLValueStackCapacity() { return static_cast<int>(g_stack.size()); }

namespace {

// The text without its trailing line feeds.
std::string_view CutTrailingLineFeeds(std::string_view text) {
  while (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  return text;
}

std::optional<std::string> CopyWithoutTrailingLineFeeds(std::string_view text) {
  try {
    return std::string(CutTrailingLineFeeds(text));
  } catch (const std::bad_alloc&) {
    WriteLog(1, "XMLCharToChar:Unable to allocate space for string");
    return std::nullopt;
  }
}

}  // namespace

std::optional<std::string> XMLCharToChar(const char* text) {
  if (text == nullptr) return std::nullopt;
  return CopyWithoutTrailingLineFeeds(text);
}

std::optional<std::string> XMLCharToChar(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  return CopyWithoutTrailingLineFeeds(*text);
}

std::optional<std::string> TakeXMLValue() {
  std::optional<std::string> taken = std::move(g_currentValue);
  g_currentValue.reset();
  if (taken) taken->resize(CutTrailingLineFeeds(*taken).size());  // shrinking never allocates
  return taken;
}
