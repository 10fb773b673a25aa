// Fuzz target: the XML toolkit's parser (ParseXMLStringToNodeTree) over the
// input as text, then the tree writer: whatever parses must write back,
// parse again and give the same tree; its copy must be the same tree too.
#include <cstdint>
#include <string>

#include "foundation/xml/xml_tree.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  XMLNodeListPtr tree(ParseXMLStringToNodeTree(text.c_str()));
  if (!tree) return 0;
  FUZZ_CHECK(tree->parent == nullptr && tree->nextSibling == nullptr, "document element is not detached");
  const std::string first = fuzz::DumpXMLTree(tree.get());

  XMLNodeListPtr copy(CopyXMLNodeTree(tree.get()));
  FUZZ_CHECK(copy && fuzz::DumpXMLTree(copy.get()) == first, "copy differs from the tree");

  std::optional<std::string> written = GetNodeTreeAsXMLString(tree.get());
  FUZZ_CHECK(written.has_value(), "a parsed tree does not write");
  FUZZ_CHECK(written->size() <= GetNodeTreeXMLSize(tree.get(), false), "size bound exceeded: %zu > %zu",
             written->size(), GetNodeTreeXMLSize(tree.get(), false));

  XMLNodeListPtr again(ParseXMLStringToNodeTree(written->c_str()));
  FUZZ_CHECK(again != nullptr, "written tree does not parse again");
  const std::string second = fuzz::DumpXMLTree(again.get());
  FUZZ_CHECK(first == second, "tree differs after writing\n  %s", fuzz::FirstDifference(first, second).c_str());

  // Once the reader has normalised the texts (line ends, trailing line
  // feeds), writing and reading is a fixed point.
  std::optional<std::string> rewritten = GetNodeTreeAsXMLString(again.get());
  FUZZ_CHECK(rewritten.has_value(), "a reparsed tree does not write");
  XMLNodeListPtr third(ParseXMLStringToNodeTree(rewritten->c_str()));
  std::optional<std::string> thirdText = third ? GetNodeTreeAsXMLString(third.get()) : std::nullopt;
  FUZZ_CHECK(thirdText && *thirdText == *rewritten, "writing is not a fixed point after one read");
  return 0;
}
