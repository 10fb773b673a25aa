// The self-service rule: which nodes of a settings tree a caller without the
// administration bit may write or delete (the configuration right and the
// login section's password state stay out of its reach).
// Requests layer: calls the XML toolkit, the case-insensitive compare and the
// per-user settings lookups.
#include "requests/self_service_rule.h"

#include <string>
#include <string_view>
#include <vector>

#include "directory/user_settings.h"
#include "foundation/util/util.h"
#include "foundation/xml/xml_tree.h"

namespace {

constexpr std::string_view kPasswordsNode = "Passwords";  // the password state under Live\Torvane

// A node's place in a settings tree: section, subsection, then path names.
using NodeNames = std::vector<std::string_view>;

// Appends the non-empty backslash-separated names of `path` (null: none).
void AppendPathNames(NodeNames& names, const char* path) {
  if (path == nullptr) return;
  std::string_view rest(path);
  while (!rest.empty()) {
    const size_t cut = rest.find(kSettingsPathSeparator);
    const std::string_view name = rest.substr(0, cut);
    if (!name.empty()) names.push_back(name);
    if (cut == std::string_view::npos) break;
    rest.remove_prefix(cut + 1);
  }
}

bool IsNonEmpty(const char* text) { return text != nullptr && text[0] != '\0'; }

bool IsLoginSubsection(std::string_view section, std::string_view subsection) {
  return EqualsNoCase(section, kLoginSectionName) && EqualsNoCase(subsection, kLoginSubsectionName);
}

// True when the node named by `names` is, or lies under, a protected node.
bool IsAtOrUnderProtected(const NodeNames& names) {
  if (names.size() < 3) return false;
  if (EqualsNoCase(names[2], kAllowConfigurationSetting)) return true;
  return IsLoginSubsection(names[0], names[1]) && EqualsNoCase(names[2], kPasswordsNode);
}

// True when the node named by `names` holds the password state: the section
// "Live" or the subsection Live\Torvane.
bool HoldsPasswordState(const NodeNames& names) {
  if (names.size() == 1) return EqualsNoCase(names[0], kLoginSectionName);
  if (names.size() == 2) return IsLoginSubsection(names[0], names[1]);
  return false;
}

bool MayChangeNode(const NodeNames& names) {
  return !IsAtOrUnderProtected(names) && !HoldsPasswordState(names);
}

// section, subsection (when given), then the path's names.
NodeNames NamesOf(const char* section, const char* subsection, const char* path) {
  NodeNames names;
  names.push_back(section);
  if (IsNonEmpty(subsection)) names.push_back(subsection);
  AppendPathNames(names, path);
  return names;
}

// ---- Protected nodes of a whole tree ----

// Appends a canonical form of `node` and its subtree: folded names, values and
// attributes with their lengths, so that two forms are equal exactly when the
// subtrees are (names without regard to case).
void AppendCanonicalSubtree(std::string& out, const XMLNode* node) {
  const auto appendText = [&out](std::string_view text) {
    out += std::to_string(text.size());
    out += ':';
    out += text;
  };
  out += '<';
  appendText(FoldNoCase(node->name));
  for (const XMLAttribute& attribute : node->attributes) {
    out += '@';
    appendText(attribute.name);
    appendText(attribute.value);
  }
  // The white space between the children of a node is layout (the users
  // files' writer puts line ends there, a tree built in memory has none).
  const bool layoutOnly = node->firstChild != nullptr && node->value &&
                          node->value->find_first_not_of(" \t\r\n") == std::string::npos;
  if (node->value && !layoutOnly) {
    out += '=';
    appendText(*node->value);
  }
  for (const XMLNode* child = node->firstChild; child != nullptr; child = child->nextSibling) {
    AppendCanonicalSubtree(out, child);
  }
  out += '>';
}

// Appends the canonical form of one protected node with the folded names of
// its section and subsection.
void AppendProtectedNode(std::string& out, const XMLNode* section, const XMLNode* sub, const XMLNode* node) {
  out += FoldNoCase(section->name);
  out += '\\';
  out += FoldNoCase(sub->name);
  AppendCanonicalSubtree(out, node);
}

// True when no sibling before `node` (from `first`, its parent's first
// child) has its name, without regard to case: the node a lookup by that
// name finds.
bool IsFirstOfItsName(const XMLNode* first, const XMLNode* node) {
  for (const XMLNode* c = first; c != node && c != nullptr; c = c->nextSibling) {
    if (EqualsNoCase(c->name, node->name)) return false;
  }
  return true;
}

// The protected nodes of a USERDATA tree in document order, each with the
// names of its section and subsection, in canonical form: every one of them
// (`foundOnly` false), or only those the lookups by name find, where the
// first section, subsection and node of a name wins (`foundOnly` true).
std::string CanonicalProtectedNodes(const XMLNode* userData, bool foundOnly) {
  std::string out;
  if (userData == nullptr) return out;
  for (const XMLNode* section = userData->firstChild; section != nullptr; section = section->nextSibling) {
    if (foundOnly && !IsFirstOfItsName(userData->firstChild, section)) continue;
    for (const XMLNode* sub = section->firstChild; sub != nullptr; sub = sub->nextSibling) {
      if (foundOnly && !IsFirstOfItsName(section->firstChild, sub)) continue;
      for (const XMLNode* node = sub->firstChild; node != nullptr; node = node->nextSibling) {
        const NodeNames names{section->name, sub->name, node->name};
        if (!IsAtOrUnderProtected(names)) continue;
        if (foundOnly && !IsFirstOfItsName(sub->firstChild, node)) continue;
        AppendProtectedNode(out, section, sub, node);
      }
    }
  }
  return out;
}

// True when a node named AllowConfiguration is `top` or lies below it.
bool HoldsConfigurationRight(const XMLNode* top) {
  for (const XMLNode* node = top; node != nullptr; node = NextInXMLSubtree(top, node)) {
    if (EqualsNoCase(node->name, kAllowConfigurationSetting)) return true;
  }
  return false;
}

}  // namespace

bool SelfServiceMayChange(const char* section, const char* subsection, const char* path) {
  if (!IsNonEmpty(section)) return true;
  return MayChangeNode(NamesOf(section, subsection, path));
}

bool SelfServiceMayAppend(const char* section, const char* subsection, const char* parentPath,
                          const char* element) {
  if (!IsNonEmpty(section)) return true;
  NodeNames names = NamesOf(section, subsection, parentPath);
  if (IsNonEmpty(element)) names.push_back(element);
  return MayChangeNode(names);
}

bool SelfServiceMayReplaceBranch(const char* user, const char* section, const char* subsection,
                                 const char* branch, int clearExisting, const char* text) {
  if (!IsNonEmpty(section) || !IsNonEmpty(subsection)) return true;  // the store refuses (2)
  NodeNames parent{section, subsection};
  NodeNames branchNames = parent;
  AppendPathNames(branchNames, branch);
  if (branchNames.size() > parent.size()) {
    // The walk makes the branch's nodes, or the clear deletes its last one;
    // none of them is named as the configuration right, at any depth.
    if (!MayChangeNode(branchNames)) return false;
    for (size_t i = parent.size(); i < branchNames.size(); ++i) {
      if (EqualsNoCase(branchNames[i], kAllowConfigurationSetting)) return false;
    }
    parent.assign(branchNames.begin(), branchNames.end() - 1);
  } else if (clearExisting != 0) {
    if (IsLoginSubsection(section, subsection)) return false;
    int failReason = 0;
    XMLNode* sub = GetUserSubsectionNode(user, section, subsection, &failReason);
    if (sub != nullptr && FindNamedChild(sub, kAllowConfigurationSetting) != nullptr) return false;
  }
  if (text == nullptr) return true;
  XMLNodeListPtr parsed(ParseXMLStringToNodeTree(text));
  if (!parsed) return true;
  for (const XMLNode* element = parsed.get(); element != nullptr; element = element->nextSibling) {
    NodeNames names = parent;
    names.push_back(element->name);
    if (!MayChangeNode(names)) return false;
    // The element goes beside the branch's last node, or into the
    // subsection: never in the subsection's place. A client that sends the
    // subsection element as it reads it (6637) would nest the subsection in
    // itself, its AllowConfiguration one level down, where no lookup finds
    // it as a right but the users file holds it as one: no such node at any
    // depth.
    if (HoldsConfigurationRight(element)) return false;
  }
  return true;
}

bool SelfServiceKeepsProtectedSettings(const XMLNode* current, const XMLNode* replacement) {
  // Both: the nodes the lookups find now (a new empty section placed before
  // the real one would hide its password state), and every protected node
  // (one placed behind the real one would surface when that is deleted).
  return CanonicalProtectedNodes(current, true) == CanonicalProtectedNodes(replacement, true) &&
         CanonicalProtectedNodes(current, false) == CanonicalProtectedNodes(replacement, false);
}
