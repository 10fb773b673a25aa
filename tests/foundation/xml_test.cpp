// Tests of the XML toolkit: the value stack, the escapes, node trees, parsing,
// the writers (bytes checked against texts written by hand), files and the
// shared text-element writer.
#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <memory>
#include <string>
#include <vector>

#include "foundation/result_codes.h"
#include "foundation/xml/xml_escape.h"
#include "foundation/xml/xml_guard.h"
#include "foundation/xml/xml_tree.h"
#include "foundation/xml/xml_value_stack.h"
#include "foundation/xml/xml_writer.h"
#include "platform/atomic_file.h"
#include "support/temp_dir.h"

namespace {

// Every test starts with an empty value stack and no current value.
class XmlTest : public ::testing::Test {
 protected:
  void SetUp() override { Reset(); }
  void TearDown() override {
    Reset();
    SetAtomicWriteFailAfter(-1);
  }
  static void Reset() {
    FreeXMLValueStack();
    ClearCurrentXMLValue();
  }
};

XMLNode* NewNode(XMLNode* parent, const char* name, std::optional<std::string> value = std::nullopt) {
  XMLNode* node = AddXMLChildNode(parent);
  node->name = name;
  node->value = std::move(value);
  return node;
}

// The names of the node's children, in order; the back links of the list are
// checked on the way (each child's previous sibling, the first child's link
// to the last, the parent).
std::vector<std::string> ChildNames(const XMLNode* node) {
  std::vector<std::string> names;
  const XMLNode* prev = nullptr;
  for (const XMLNode* c = node->firstChild; c; prev = c, c = c->nextSibling) {
    names.push_back(c->name);
    EXPECT_EQ(c->parent, node) << c->name;
    if (prev != nullptr) {
      EXPECT_EQ(c->prevSibling, prev) << c->name;
    }
  }
  if (node->firstChild != nullptr) {
    EXPECT_EQ(node->firstChild->prevSibling, prev) << "the first child's link to the last";
  }
  EXPECT_EQ(LastXMLChild(node), prev);
  return names;
}

std::string Nest(int depth) {
  std::string text;
  for (int i = 0; i < depth; ++i) text += "<a>";
  for (int i = 0; i < depth; ++i) text += "</a>";
  return text;
}

// ---- Value stack --------------------------------------------------------------

TEST_F(XmlTest, ValueStackPushPopSemantics) {
  EXPECT_EQ(XMLValueStackCapacity(), 0);
  EXPECT_EQ(PopXMLValue(), -1);  // empty: nothing changes
  CurrentXMLValue() = "outer";
  EXPECT_EQ(PopXMLValue(), -1);
  EXPECT_EQ(CurrentXMLValue(), "outer");

  ASSERT_EQ(PushXMLValue(), 0);
  EXPECT_EQ(XMLValueStackCapacity(), 10);
  EXPECT_EQ(XMLValueStackDepth(), 1);
  EXPECT_FALSE(CurrentXMLValue().has_value());  // the caller's next step is already done
  ASSERT_EQ(AppendXMLValue("in", 2), 0);
  ASSERT_EQ(AppendXMLValue("ner", 3), 0);
  EXPECT_EQ(CurrentXMLValue(), "inner");
  ASSERT_EQ(PopXMLValue(), 0);  // frees "inner", brings back "outer"
  EXPECT_EQ(CurrentXMLValue(), "outer");
  EXPECT_EQ(XMLValueStackDepth(), 0);

  for (int i = 0; i < 11; ++i) ASSERT_EQ(PushXMLValue(), 0);
  EXPECT_EQ(XMLValueStackCapacity(), 20);
  CurrentXMLValue() = "kept";
  ClearXMLValueStack(1);
  EXPECT_EQ(XMLValueStackDepth(), 0);
  EXPECT_EQ(CurrentXMLValue(), "kept");  // clearing leaves the current value alone
  FreeXMLValueStack();
  EXPECT_EQ(XMLValueStackCapacity(), 0);
}

TEST_F(XmlTest, ValueStackRefusesPushBeyondDepthCap) {
  for (int i = 0; i < kXMLMaxDepth; ++i) ASSERT_EQ(PushXMLValue(), 0);
  CurrentXMLValue() = "x";
  EXPECT_EQ(PushXMLValue(), -1);
  EXPECT_EQ(XMLValueStackDepth(), kXMLMaxDepth);
  EXPECT_EQ(CurrentXMLValue(), "x");  // nothing pushed
}

TEST_F(XmlTest, XMLCharToCharCutsOnlyTrailingLineFeeds) {
  struct Case {
    const char* in;
    std::optional<std::string> out;
  } cases[] = {
      {nullptr, std::nullopt}, {"", ""},          {"\n\n", ""},         {"a\n\n", "a"},
      {"a\r\n", "a\r"},        {"a \t", "a \t"},  {"\na\nb\n", "\na\nb"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(XMLCharToChar(c.in), c.out) << (c.in ? c.in : "(null)");
    std::optional<std::string> held;
    if (c.in) held = c.in;
    EXPECT_EQ(XMLCharToChar(held), c.out);
  }
}

TEST_F(XmlTest, TakeXMLValueMovesTheTextOut) {
  struct Case {
    std::optional<std::string> current;
    std::optional<std::string> taken;
  } cases[] = {
      {std::nullopt, std::nullopt}, {"", ""}, {"\n\n", ""}, {"a\r\n\n", "a\r"}, {"\na b\t", "\na b\t"},
  };
  for (const Case& c : cases) {
    CurrentXMLValue() = c.current;
    EXPECT_EQ(TakeXMLValue(), c.taken);
    EXPECT_EQ(XMLCharToChar(c.current), c.taken);  // the same text as the copying form
    EXPECT_FALSE(CurrentXMLValue().has_value());   // and nothing left behind
  }
}

// ---- Escapes ----------------------------------------------------------------------

TEST_F(XmlTest, ElementTextEscape) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"a<b & c>d", "a&#060;b &#038; c&#062;d"},
      {"100%", "100%"},
      {"%s%d", "%s%d"},
      {"\"quote' \xC3\xA9\t\r\n", "\"quote' \xC3\xA9\t\r\n"},  // everything else copied
      {"", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(XMLEscapeString(c.in), c.out);
    EXPECT_EQ(XMLEscapedLength(c.in), c.out.size());
  }
}

TEST_F(XmlTest, ElementTextEscapeGrowsPastOldBufferSize) {
  std::string text(20000, '&');
  std::string escaped = XMLEscapeString(text);
  ASSERT_EQ(escaped.size(), 120000u);
  EXPECT_EQ(escaped.substr(0, 12), "&#038;&#038;");
  EXPECT_EQ(escaped.substr(escaped.size() - 6), "&#038;");
}

TEST_F(XmlTest, AttributeEscape) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"x&y", "x&#038;y"},
      {"x\"y", "x&#034;y"},
      {"<>", "&#060;&#062;"},
      {"a\tb\nc\rd", "a&#009;b&#010;c&#013;d"},
      {"it's 100% \xC3\xA9", "it's 100% \xC3\xA9"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(XMLEscapeAttribute(c.in), c.out);
    EXPECT_EQ(XMLAttributeEscapedLength(c.in), c.out.size());
  }
}

// ---- Parsing ------------------------------------------------------------------

TEST_F(XmlTest, ParsedValues) {
  // Each text is <A>…</A>; the table gives A's value (null: none).
  struct Case {
    const char* text;
    std::optional<std::string> value;
  } cases[] = {
      {"<A> <B/> </A>", "  "},              // both pieces around B
      {"<A></A>", std::nullopt},            // no text: null
      {"<A/>", std::nullopt},
      {"<A>x\n\n</A>", "x"},                // trailing line feeds cut
      {"<A>x\r\n\r\n</A>", "x"},            // CR LF reported as LF, then cut
      {"<A>\r\n\n</A>", ""},                // text that was only line ends: empty, not null
      {"<A>x \t</A>", "x \t"},              // trailing blanks and tabs stay
      {"<A>x&#13;</A>", "x\r"},             // a carriage return by reference stays
      {"<A>a&amp;b&lt;&gt;&quot;</A>", "a&b<>\""},
      {"<A>\n  <B>x</B>\n</A>", "\n  "},
      {"<A>1<B>2</B>3</A>", "13"},          // own text only, in document order
  };
  for (const Case& c : cases) {
    XMLNodeListPtr tree(ParseXMLStringToNodeTree(c.text));
    ASSERT_TRUE(tree) << c.text;
    EXPECT_EQ(tree->name, "A");
    EXPECT_EQ(tree->value, c.value) << c.text;
    EXPECT_EQ(tree->parent, nullptr);
    EXPECT_EQ(tree->nextSibling, nullptr);
  }
  XMLNodeListPtr tree(ParseXMLStringToNodeTree("<A> <B/> </A>"));
  ASSERT_TRUE(tree && tree->firstChild);
  EXPECT_EQ(tree->firstChild->name, "B");
  EXPECT_FALSE(tree->firstChild->value.has_value());
  EXPECT_EQ(tree->firstChild->parent, tree.get());
  EXPECT_EQ(XMLValueStackDepth(), 0);  // balanced after a good document
}

TEST_F(XmlTest, ParsedAttributesAndStructure) {
  XMLNodeListPtr tree(ParseXMLStringToNodeTree(
      "<?xml version=\"1.0\"?>\r\n<R a=\"1\" b='x&amp;y\"z' c=\"\"><S/><T>t</T><S>s</S></R>"));
  ASSERT_TRUE(tree);
  ASSERT_EQ(GetXMLAttributeCount(tree.get()), 3);
  EXPECT_EQ(tree->attributes[0].name, "a");
  EXPECT_EQ(GetXMLAttributeValue(tree.get(), 0), "1");
  EXPECT_EQ(GetXMLAttributeValue(tree.get(), 1), "x&y\"z");
  EXPECT_EQ(GetXMLAttributeValue(tree.get(), 2), "");
  EXPECT_EQ(GetXMLAttributeValue(tree.get(), -1), "");
  EXPECT_EQ(GetXMLAttributeValue(tree.get(), 3), "");
  EXPECT_EQ(GetXMLAttributeValue(nullptr, 0), "");
  EXPECT_EQ(ChildNames(tree.get()), (std::vector<std::string>{"S", "T", "S"}));
  EXPECT_EQ(LastXMLChild(tree.get())->value, "s");
}

TEST_F(XmlTest, ParseFailuresGive20AndLeaveTargetUnchanged) {
  const char* bad[] = {"", "<A/><B/>", "<A>", "<A></B>", "text", "<A x='1' x='2'/>", "<A>&undefined;</A>"};
  for (const char* text : bad) {
    XMLNodeListPtr target(ParseXMLStringToNodeTree("<T><K>k</K></T>"));
    ASSERT_TRUE(target);
    EXPECT_EQ(AddXMLToNode(target.get(), text), FR_XML_ERROR) << text;
    EXPECT_EQ(ChildNames(target.get()), (std::vector<std::string>{"K"})) << text;
    EXPECT_EQ(LastXMLChild(target.get()), target->firstChild);
    EXPECT_EQ(ParseXMLStringToNodeTree(text), nullptr) << text;
  }
  XMLNode target;
  EXPECT_EQ(AddXMLToNode(&target, nullptr), FR_XML_ERROR);
  EXPECT_EQ(AddXMLToNode(nullptr, "<A/>"), FR_INVALID_PARAMETER);
}

TEST_F(XmlTest, AddXMLToNodeAppendsAsLastChild) {
  XMLNodeListPtr target(ParseXMLStringToNodeTree("<T><K/></T>"));
  ASSERT_EQ(AddXMLToNode(target.get(), "<N v='1'>n<C/></N>"), FR_OK);
  EXPECT_EQ(ChildNames(target.get()), (std::vector<std::string>{"K", "N"}));
  XMLNode* added = LastXMLChild(target.get());
  EXPECT_EQ(added->parent, target.get());
  EXPECT_EQ(added->value, "n");
  EXPECT_EQ(added->firstChild->parent, added);
  // Appending goes on after the new last child.
  ASSERT_NE(AddXMLChildNode(target.get()), nullptr);
  LastXMLChild(target.get())->name = "Z";
  EXPECT_EQ(ChildNames(target.get()), (std::vector<std::string>{"K", "N", "Z"}));
}

TEST_F(XmlTest, NestingDepthIsCapped) {
  XMLNodeListPtr deepest(ParseXMLStringToNodeTree(Nest(kXMLMaxDepth).c_str()));
  EXPECT_TRUE(deepest);
  EXPECT_EQ(ParseXMLStringToNodeTree(Nest(kXMLMaxDepth + 1).c_str()), nullptr);
  XMLNode target;
  EXPECT_EQ(AddXMLToNode(&target, Nest(100000).c_str()), FR_XML_ERROR);
  EXPECT_EQ(target.firstChild, nullptr);
  // The next parse starts clean.
  XMLNodeListPtr fine(ParseXMLStringToNodeTree("<A>x</A>"));
  ASSERT_TRUE(fine);
  EXPECT_EQ(fine->value, "x");
}

// A chain of entities, each referring to the next: Expat expands it by
// recursion, one level per link, so 100,000 links would exhaust the stack.
// Documents that declare entities are refused before anything is expanded.
std::string EntityChain(int links, bool inAttribute) {
  std::string text = "<!DOCTYPE a [\n";
  for (int i = 0; i < links; ++i)
    text += "<!ENTITY e" + std::to_string(i) + " \"&e" + std::to_string(i + 1) + ";\">\n";
  text += "<!ENTITY e" + std::to_string(links) + " \"x\">\n]>\n";
  text += inAttribute ? "<a v=\"&e0;\"/>" : "<a>&e0;</a>";
  return text;
}

TEST_F(XmlTest, EntityDeclarationsAreRefused) {
  const std::string refused[] = {
      EntityChain(100000, false),
      EntityChain(100000, true),
      EntityChain(1, false),
      "<!DOCTYPE a [<!ENTITY % p \"x\">]><a/>",              // a parameter entity
      "<!DOCTYPE a [<!ENTITY e SYSTEM \"/etc/passwd\">]><a>&e;</a>",  // an external one
      "<!DOCTYPE a [<!ENTITY l \"ll\"><!ENTITY m \"&l;&l;&l;&l;\">]><a>&m;</a>",
  };
  for (const std::string& text : refused) {
    XMLNode target;
    EXPECT_EQ(AddXMLToNode(&target, text.c_str()), FR_XML_ERROR) << text.substr(0, 60);
    EXPECT_EQ(target.firstChild, nullptr);
    EXPECT_TRUE(XMLEntityDeclarationRefused());
  }
  // A document type without entity declarations, and the predefined entities
  // and character references, are read as before.
  XMLNodeListPtr plain(ParseXMLStringToNodeTree("<!DOCTYPE a [<!ELEMENT a ANY>]><a>&lt;&#65;&amp;</a>"));
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->value, "<A&");
  EXPECT_FALSE(XMLEntityDeclarationRefused());
}

// The guard on a parser of a store's own reader (its own handlers and user data).
TEST_F(XmlTest, EntityGuardOnAReadersParser) {
  struct Seen {
    int elements = 0;
  } seen;
  auto parse = [&seen](const std::string& text) {
    XML_Parser parser = XML_ParserCreate(nullptr);
    XML_SetUserData(parser, &seen);
    XML_SetStartElementHandler(parser, [](void* data, const XML_Char*, const XML_Char**) {
      ++static_cast<Seen*>(data)->elements;
    });
    RefuseXMLEntityDeclarations(parser);
    XML_Status status = XML_Parse(parser, text.data(), static_cast<int>(text.size()), XML_TRUE);
    XML_Error error = XML_GetErrorCode(parser);
    XML_ParserFree(parser);
    return status == XML_STATUS_OK ? XML_ERROR_NONE : error;
  };
  EXPECT_EQ(parse(EntityChain(100000, false)), XML_ERROR_ABORTED);
  EXPECT_TRUE(XMLEntityDeclarationRefused());
  EXPECT_EQ(seen.elements, 0);
  EXPECT_EQ(parse("<a><b/></a>"), XML_ERROR_NONE);
  EXPECT_FALSE(XMLEntityDeclarationRefused());
  EXPECT_EQ(seen.elements, 2);
}

// A flat document of many elements, the shape of the users tree: parse, size,
// write, copy and free must all loop rather than recurse.
TEST_F(XmlTest, WideDocumentDoesNotRecurse) {
  constexpr int kCount = 100000;
  std::string text = "<USERS>\n";
  for (int i = 0; i < kCount; ++i) text += "<USER><N>u</N></USER>\n";
  text += "</USERS>";
  XMLNodeListPtr tree(ParseXMLStringToNodeTree(text.c_str()));
  ASSERT_TRUE(tree);
  EXPECT_EQ(tree->value, "");  // one line feed per user, all cut
  int users = 0;
  for (XMLNode* u = tree->firstChild; u; u = u->nextSibling) ++users;
  EXPECT_EQ(users, kCount);
  std::optional<std::string> written = GetNodeTreeAsXMLString(tree.get());
  ASSERT_TRUE(written);
  EXPECT_LE(written->size(), GetNodeTreeXMLSize(tree.get(), false));
  XMLNodeListPtr copy(CopyXMLNodeTree(tree.get()));
  ASSERT_TRUE(copy);
  EXPECT_EQ(GetNodeTreeAsXMLString(copy.get()), written);

  // A top-level list of many siblings.
  XMLNode* first = NewNode(nullptr, "S");
  XMLNode* last = first;
  for (int i = 1; i < kCount; ++i) {
    last->nextSibling = NewNode(nullptr, "S");
    last = last->nextSibling;
  }
  XMLNodeListPtr list(first);
  std::string buffer;
  ASSERT_EQ(WriteNodeTreeToBuffer(list.get(), true, buffer), FR_OK);
  EXPECT_EQ(buffer.size(), static_cast<size_t>(kCount) * 9);  // "<S></S>\r\n" each
  EXPECT_EQ(buffer.substr(0, 18), "<S></S>\r\n<S></S>\r\n");
}

// ---- Writing ------------------------------------------------------------------

TEST_F(XmlTest, WriterBytesMatchHandWrittenTexts) {
  XMLNodeListPtr a(NewNode(nullptr, "A", "x"));
  NewNode(a.get(), "B", "y");
  EXPECT_EQ(GetNodeTreeAsXMLString(a.get()), "<A>x\r\n<B>y</B>\r\n</A>\r\n");

  XMLNodeListPtr n(NewNode(nullptr, "N", "<<<"));
  std::optional<std::string> text = GetNodeTreeAsXMLString(n.get());
  EXPECT_EQ(text, "<N>&#060;&#060;&#060;</N>\r\n");
  EXPECT_EQ(GetNodeTreeXMLSize(n.get(), false), 2 * 1 + 9 + 3 + 15u);
  EXPECT_LE(text->size(), GetNodeTreeXMLSize(n.get(), false));

  // Attributes in order, values escaped for double quotes; nested children;
  // an empty value is written as nothing, like a null one.
  XMLNodeListPtr r(NewNode(nullptr, "R"));
  AddXMLAttribute(r.get(), "uid", "0000002A");
  AddXMLAttribute(r.get(), "q", "a\"b&c");
  AddXMLAttribute(r.get(), "e", "");
  XMLNode* s = NewNode(r.get(), "S", "");
  NewNode(s, "T", "t&");
  NewNode(r.get(), "U");
  const char* expected =
      "<R uid=\"0000002A\" q=\"a&#034;b&#038;c\" e=\"\">\r\n"
      "<S>\r\n"
      "<T>t&#038;</T>\r\n"
      "</S>\r\n"
      "<U></U>\r\n"
      "</R>\r\n";
  text = GetNodeTreeAsXMLString(r.get());
  EXPECT_EQ(text, expected);
  EXPECT_LE(text->size(), GetNodeTreeXMLSize(r.get(), false));
}

TEST_F(XmlTest, SiblingsWrittenOnlyWhenAsked) {
  XMLNode* p = NewNode(nullptr, "P", "1");
  p->nextSibling = NewNode(nullptr, "Q", "2");
  XMLNodeListPtr list(p);
  std::string buffer = "pre:";
  ASSERT_EQ(WriteNodeTreeToBuffer(p, false, buffer), FR_OK);
  EXPECT_EQ(buffer, "pre:<P>1</P>\r\n");
  buffer.clear();
  ASSERT_EQ(WriteNodeTreeToBuffer(p, true, buffer), FR_OK);
  EXPECT_EQ(buffer, "<P>1</P>\r\n<Q>2</Q>\r\n");
  EXPECT_EQ(GetNodeTreeXMLSize(p, true), GetNodeTreeXMLSize(p, false) + GetNodeTreeXMLSize(p->nextSibling, false));
  EXPECT_EQ(GetNodeTreeAsXMLString(p), "<P>1</P>\r\n");  // never the siblings
  EXPECT_EQ(WriteNodeTreeToBuffer(nullptr, true, buffer), FR_OK);
}

TEST_F(XmlTest, NamelessNodeRefused) {
  XMLNodeListPtr top(AddXMLChildNode(nullptr));
  EXPECT_EQ(GetNodeTreeXMLSize(top.get(), false), 0u);
  EXPECT_EQ(GetNodeTreeAsXMLString(top.get()), std::nullopt);
  EXPECT_EQ(GetNodeTreeAsXMLString(nullptr), std::nullopt);

  XMLNodeListPtr parent(NewNode(nullptr, "P", "v"));
  NewNode(parent.get(), "C");
  AddXMLChildNode(parent->firstChild);  // a nameless grandchild
  EXPECT_EQ(GetNodeTreeAsXMLString(parent.get()), std::nullopt);
  std::string buffer = "kept";
  EXPECT_EQ(WriteNodeTreeToBuffer(parent.get(), false, buffer), FR_INVALID_PARAMETER);
  EXPECT_EQ(buffer, "kept");

  TempDir dir;
  WriteWholeFile(dir.File("f.xml"), "old");
  EXPECT_EQ(WriteNodeTreeToFile(dir.File("f.xml"), parent.get(), true), FR_INVALID_PARAMETER);
  EXPECT_EQ(ReadWholeFile(dir.File("f.xml")), "old");
}

TEST_F(XmlTest, WriteReadRoundTripWithSpecialCharacters) {
  XMLNodeListPtr root(NewNode(nullptr, "ROOT", "top & <tail> \"q\""));
  XMLNode* item = NewNode(root.get(), "ITEM", "a&b<c>d\"e'f \xE2\x82\xAC");
  AddXMLAttribute(item, "a", "x&amp;y");
  AddXMLAttribute(item, "b", "x\"y'z<>");
  AddXMLAttribute(item, "ws", " a\tb\nc\r ");
  NewNode(root.get(), "EMPTY", "");
  NewNode(root.get(), "NONE");

  std::optional<std::string> text = GetNodeTreeAsXMLString(root.get());
  ASSERT_TRUE(text);
  XMLNodeListPtr back(ParseXMLStringToNodeTree(text->c_str()));
  ASSERT_TRUE(back);
  // The line ends the writer puts between the children come back as the
  // root's trailing line feeds, which are cut.
  EXPECT_EQ(back->value, root->value);
  XMLNode* readItem = back->firstChild;
  EXPECT_EQ(readItem->value, item->value);
  ASSERT_EQ(GetXMLAttributeCount(readItem), 3);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(GetXMLAttributeValue(readItem, i), GetXMLAttributeValue(item, i));
  EXPECT_FALSE(readItem->nextSibling->value.has_value());  // empty text writes as no text
  EXPECT_FALSE(readItem->nextSibling->nextSibling->value.has_value());
  // Writing what was read gives the same bytes again.
  EXPECT_EQ(GetNodeTreeAsXMLString(back.get()), text);
}

// ---- Tree operations --------------------------------------------------------------

TEST_F(XmlTest, DeleteChildByNameAndUnlink) {
  XMLNodeListPtr p(ParseXMLStringToNodeTree("<P><a>1</a><B/><A>2</A><c/></P>"));
  ASSERT_TRUE(p);
  EXPECT_EQ(DeleteXMLChildNode(p.get(), "zz"), FR_OK);
  EXPECT_EQ(ChildNames(p.get()), (std::vector<std::string>{"a", "B", "A", "c"}));
  EXPECT_EQ(DeleteXMLChildNode(p.get(), "A"), FR_OK);  // only the first, whatever its case
  EXPECT_EQ(ChildNames(p.get()), (std::vector<std::string>{"B", "A", "c"}));
  EXPECT_EQ(p->firstChild->nextSibling->value, "2");
  EXPECT_EQ(DeleteXMLChildNode(nullptr, "A"), FR_INVALID_PARAMETER);
  EXPECT_EQ(DeleteXMLChildNode(p.get(), nullptr), FR_INVALID_PARAMETER);

  DeleteXMLNode(LastXMLChild(p.get()));  // the last child: the append shortcut follows
  EXPECT_EQ(LastXMLChild(p.get())->name, "A");
  NewNode(p.get(), "d");
  EXPECT_EQ(ChildNames(p.get()), (std::vector<std::string>{"B", "A", "d"}));

  XMLNode* middle = p->firstChild->nextSibling;
  UnlinkXMLNode(middle);
  XMLNodeListPtr detached(middle);
  EXPECT_EQ(ChildNames(p.get()), (std::vector<std::string>{"B", "d"}));
  EXPECT_EQ(middle->parent, nullptr);
  EXPECT_EQ(middle->nextSibling, nullptr);
  ASSERT_EQ(AppendXMLNodeList(p.get(), detached.release()), FR_OK);
  EXPECT_EQ(ChildNames(p.get()), (std::vector<std::string>{"B", "d", "A"}));

  FreeXMLChildNodes(p.get());
  EXPECT_EQ(p->firstChild, nullptr);
  EXPECT_EQ(LastXMLChild(p.get()), nullptr);
  NewNode(p.get(), "e");
  EXPECT_EQ(ChildNames(p.get()), (std::vector<std::string>{"e"}));
}

// Taking a child out of any place of the list, and appending after that,
// keeps the list and its back links whole.
TEST_F(XmlTest, UnlinkAtEveryPlace) {
  const struct {
    const char* tree;
    size_t at;  // the child taken out
    std::vector<std::string> left;
  } cases[] = {
      {"<P><a/></P>", 0, {}},
      {"<P><a/><b/></P>", 0, {"b"}},
      {"<P><a/><b/></P>", 1, {"a"}},
      {"<P><a/><b/><c/></P>", 0, {"b", "c"}},
      {"<P><a/><b/><c/></P>", 1, {"a", "c"}},
      {"<P><a/><b/><c/></P>", 2, {"a", "b"}},
  };
  for (const auto& c : cases) {
    XMLNodeListPtr p(ParseXMLStringToNodeTree(c.tree));
    ASSERT_TRUE(p);
    XMLNode* child = p->firstChild;
    for (size_t i = 0; i < c.at; ++i) child = child->nextSibling;
    UnlinkXMLNode(child);
    XMLNodeListPtr out(child);
    EXPECT_EQ(child->parent, nullptr) << c.tree << " " << c.at;
    EXPECT_EQ(child->nextSibling, nullptr);
    EXPECT_EQ(child->prevSibling, nullptr);
    EXPECT_EQ(ChildNames(p.get()), c.left) << c.tree << " " << c.at;
    // Appended again, it comes last; a new node after it.
    ASSERT_EQ(AppendXMLNodeList(p.get(), out.release()), FR_OK);
    NewNode(p.get(), "z");
    std::vector<std::string> after = c.left;
    after.push_back(child->name);
    after.push_back("z");
    EXPECT_EQ(ChildNames(p.get()), after) << c.tree << " " << c.at;
  }
  // A list built by hand (siblings linked without a parent) gets its back
  // links when it is appended.
  XMLNodeListPtr p(ParseXMLStringToNodeTree("<P><a/></P>"));
  XMLNode* list = NewNode(nullptr, "x");
  list->nextSibling = NewNode(nullptr, "y");
  ASSERT_EQ(AppendXMLNodeList(p.get(), list), FR_OK);
  EXPECT_EQ(ChildNames(p.get()), (std::vector<std::string>{"a", "x", "y"}));
  DeleteXMLNode(list->nextSibling);
  EXPECT_EQ(ChildNames(p.get()), (std::vector<std::string>{"a", "x"}));
}

TEST_F(XmlTest, CopyIsDeepAndIndependent) {
  XMLNodeListPtr original(ParseXMLStringToNodeTree("<U a='1'><D>x<S>y</S></D><E/></U>"));
  XMLNodeListPtr copy(CopyXMLNodeTree(original->firstChild));
  ASSERT_TRUE(copy);
  EXPECT_EQ(copy->parent, nullptr);
  EXPECT_EQ(copy->nextSibling, nullptr);  // siblings are not copied
  EXPECT_EQ(GetNodeTreeAsXMLString(copy.get()), GetNodeTreeAsXMLString(original->firstChild));
  EXPECT_EQ(copy->firstChild->parent, copy.get());
  copy->firstChild->value = "changed";
  EXPECT_EQ(original->firstChild->firstChild->value, "y");
  EXPECT_EQ(CopyXMLNodeTree(nullptr), nullptr);

  // The attributes are copied too, into storage of the copy's own.
  XMLNodeListPtr whole(CopyXMLNodeTree(original.get()));
  ASSERT_TRUE(whole);
  ASSERT_EQ(GetXMLAttributeCount(whole.get()), 1);
  EXPECT_EQ(GetXMLAttributeValue(whole.get(), 0), "1");
  whole->attributes[0].value = "2";
  ASSERT_EQ(AddXMLAttribute(whole.get(), "b", "3"), FR_OK);
  EXPECT_EQ(GetNodeTreeAsXMLString(original.get()).value_or(""), "<U a=\"1\">\r\n<D>x\r\n<S>y</S>\r\n</D>\r\n<E></E>\r\n</U>\r\n");
  EXPECT_EQ(GetXMLAttributeCount(original.get()), 1);
  EXPECT_EQ(GetXMLAttributeCount(whole->firstChild), 0);
}

// ---- Files ----------------------------------------------------------------------

TEST_F(XmlTest, WriteNodeTreeToFileBytes) {
  TempDir dir;
  XMLNodeListPtr a(NewNode(nullptr, "A", "x"));
  NewNode(a.get(), "B", "y");
  a->nextSibling = NewNode(nullptr, "NOT");  // siblings stay out of the file
  ASSERT_EQ(WriteNodeTreeToFile(dir.File("d.xml"), a.get(), true), FR_OK);
  EXPECT_EQ(ReadWholeFile(dir.File("d.xml")), "<?xml version=\"1.0\"?><A>x\r\n<B>y</B>\r\n</A>\r\n");
  ASSERT_EQ(WriteNodeTreeToFile(dir.File("d.xml"), a.get(), false), FR_OK);
  EXPECT_EQ(ReadWholeFile(dir.File("d.xml")), "<A>x\r\n<B>y</B>\r\n</A>\r\n");

  EXPECT_EQ(WriteNodeTreeToFile("", a.get(), true), FR_INVALID_PARAMETER);
  EXPECT_EQ(WriteNodeTreeToFile(dir.File("d.xml"), nullptr, true), FR_INVALID_PARAMETER);
  EXPECT_EQ(WriteNodeTreeToFile(dir.File("missing/d.xml"), a.get(), true), FR_CANNOT_OPEN_FILE);
}

TEST_F(XmlTest, FailedFileWriteKeepsOldFile) {
  TempDir dir;
  WriteWholeFile(dir.File("d.xml"), "<OLD/>");
  XMLNodeListPtr a(NewNode(nullptr, "A", std::string(1000, 'v')));
  SetAtomicWriteFailAfter(100);
  EXPECT_EQ(WriteNodeTreeToFile(dir.File("d.xml"), a.get(), true), FR_WRITE_FAILED);
  SetAtomicWriteFailAfter(-1);
  EXPECT_EQ(ReadWholeFile(dir.File("d.xml")), "<OLD/>");
}

TEST_F(XmlTest, StreamWriteFailureGives15) {
  FILE* full = std::fopen("/dev/full", "wb");
  if (full == nullptr) GTEST_SKIP() << "no /dev/full";
  std::setvbuf(full, nullptr, _IONBF, 0);
  XMLNodeListPtr a(NewNode(nullptr, "A", "x"));
  EXPECT_EQ(WriteNodeTreeToStream(full, a.get(), false), FR_WRITE_FAILED);
  EXPECT_EQ(WriteXMLTextElement("N", "t", full), FR_WRITE_FAILED);
  std::fclose(full);
}

TEST_F(XmlTest, LoadFileCodes) {
  TempDir dir;
  int code = -99;
  EXPECT_EQ(LoadXMLFileAsNodeTree(dir.File("none.xml"), &code), nullptr);
  EXPECT_EQ(code, FR_FILE_NOT_FOUND);
  WriteWholeFile(dir.File("empty.xml"), "");
  EXPECT_EQ(LoadXMLFileAsNodeTree(dir.File("empty.xml"), &code), nullptr);
  EXPECT_EQ(code, FR_XML_ERROR);
  WriteWholeFile(dir.File("bad.xml"), "<A><B></A>");
  EXPECT_EQ(LoadXMLFileAsNodeTree(dir.File("bad.xml"), &code), nullptr);
  EXPECT_EQ(code, FR_XML_ERROR);
  WriteWholeFile(dir.File("ok.xml"), "<?xml version=\"1.0\"?><A>x\r\n<B>y</B>\r\n</A>\r\n");
  XMLNodeListPtr tree(LoadXMLFileAsNodeTree(dir.File("ok.xml"), &code));
  ASSERT_TRUE(tree);
  EXPECT_EQ(code, FR_OK);
  EXPECT_EQ(tree->value, "x");
  EXPECT_EQ(tree->firstChild->value, "y");
  EXPECT_EQ(tree->parent, nullptr);
}

TEST_F(XmlTest, SetBranchXML) {
  TempDir dir;
  std::string path = dir.File("b.xml");
  WriteWholeFile(path, "<R><X><Y>old</Y></X><K/></R>");
  // Replace an existing branch: the new element takes the place at the end of its parent.
  ASSERT_EQ(SetBranchXML(path.c_str(), "x\\y", 1, "<Y>new</Y>"), FR_OK);
  EXPECT_EQ(ReadWholeFile(path), "<R>\r\n<X>\r\n<Y>new</Y>\r\n</X>\r\n<K></K>\r\n</R>\r\n");
  // A missing branch is made on the way.
  ASSERT_EQ(SetBranchXML(path.c_str(), "Z\\W", 1, "<W>w</W>"), FR_OK);
  EXPECT_EQ(ReadWholeFile(path),
            "<R>\r\n<X>\r\n<Y>new</Y>\r\n</X>\r\n<K></K>\r\n<Z>\r\n<W>w</W>\r\n</Z>\r\n</R>\r\n");
  // The empty path replaces every child of the document element.
  ASSERT_EQ(SetBranchXML(path.c_str(), "", 1, "<ONLY/>"), FR_OK);
  EXPECT_EQ(ReadWholeFile(path), "<R>\r\n<ONLY></ONLY>\r\n</R>\r\n");
  // Failures leave the file as it was.
  std::string before = ReadWholeFile(path);
  EXPECT_EQ(SetBranchXML(path.c_str(), "A", 1, "<broken>"), FR_XML_ERROR);
  EXPECT_EQ(SetBranchXML(path.c_str(), "A\\\\B", 1, "<B/>"), FR_INVALID_PARAMETER);
  EXPECT_EQ(SetBranchXML(path.c_str(), "bad name", 1, "<B/>"), FR_INVALID_PARAMETER);
  EXPECT_EQ(SetBranchXML(nullptr, "", 1, "<B/>"), FR_INVALID_PARAMETER);
  EXPECT_EQ(SetBranchXML(dir.File("none.xml").c_str(), "", 1, "<B/>"), FR_FILE_NOT_FOUND);
  EXPECT_EQ(ReadWholeFile(path), before);
}

// ---- Text elements of the stores' writers -------------------------------------------

TEST_F(XmlTest, WriteXMLTextElementLines) {
  TempDir dir;
  std::string path = dir.File("t.xml");
  FILE* fp = std::fopen(path.c_str(), "wb");
  ASSERT_NE(fp, nullptr);
  EXPECT_EQ(WriteXMLTextElement("USERNAME", "a&b<c>\"", fp), FR_OK);
  EXPECT_EQ(WriteXMLTextElement("NONE", static_cast<const char*>(nullptr), fp), FR_OK);
  EXPECT_EQ(WriteXMLTextElement("DESCRIPTION", "", fp), FR_OK);
  EXPECT_EQ(WriteXMLTextElement("OPT", std::optional<std::string>("100%"), fp), FR_OK);
  EXPECT_EQ(WriteXMLTextElement("OPT", std::optional<std::string>(), fp), FR_OK);
  EXPECT_EQ(WriteXMLTextElement(nullptr, "x", fp), FR_INVALID_PARAMETER);
  std::fclose(fp);
  EXPECT_EQ(ReadWholeFile(path),
            "<USERNAME>a&#038;b&#060;c&#062;\"</USERNAME>\n"
            "<DESCRIPTION></DESCRIPTION>\n"
            "<OPT>100%</OPT>\n");
}

// Nodes made every way (a parse, AddXMLChildNode, a copy, a plain new) come
// from the node pool and go back to it whichever way they are freed, so a
// tree mixing them frees whole. (Under AddressSanitizer every node is a heap
// block of its own and the pool stays empty.)
TEST_F(XmlTest, NodesOfEveryOriginGoBackToThePool) {
  const XMLNodePoolCounts before = GetXMLNodePoolCounts();
  XMLNode* root = ParseXMLStringToNodeTree("<R><A x=\"1\">t</A><B/></R>");
  ASSERT_NE(root, nullptr);
  XMLNode* added = AddXMLChildNode(root);
  ASSERT_NE(added, nullptr);
  added->name = "C";
  XMLNode* copy = CopyXMLNodeTree(root->firstChild);
  ASSERT_NE(copy, nullptr);
  ASSERT_EQ(AppendXMLNodeList(added, copy), 0);
  auto plain = std::make_unique<XMLNode>();
  plain->name = "D";
  ASSERT_EQ(AppendXMLNodeList(root, plain.release()), 0);
  const XMLNodePoolCounts during = GetXMLNodePoolCounts();
  if (during.held > 0) {
    EXPECT_EQ(during.inUse, before.inUse + 6);  // R, A, B, C, the copy of A, D
    EXPECT_LE(during.inUse, during.held);
  }
  DeleteXMLNode(added);  // C with the copy below it
  if (during.held > 0) {
    EXPECT_EQ(GetXMLNodePoolCounts().inUse, before.inUse + 4);
  }
  std::unique_ptr<XMLNode> owned(AddXMLChildNode(nullptr));
  owned.reset();
  FreeXMLNodeList(root);
  EXPECT_EQ(GetXMLNodePoolCounts().inUse, before.inUse);
}

}  // namespace
