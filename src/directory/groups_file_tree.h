// The tree reader of groups.xml: the file parsed into a generic XML tree
// rather than into the group and permission arrays, after which the groups
// in memory are released.
// Directory layer: calls the XML tree toolkit, the groups model, the clock,
// the utilities and the log.
#pragma once

#include <string_view>

// Parses groups.xml at `path` into an XML tree (each element a node with its
// attributes and its text). Every call sets the groups time to now.
//   -1: the file cannot be opened (logged "Unable to open groups file >%s<")
//       or does not parse (logged "XML error %s at line %d"); the groups in
//       memory are left untouched.
//    0: the whole document was read; every group in memory is then released
//       (FreeGroupArray; the permissions stay) and the tree is searched for
//       a VERSION child of the root (what it finds is not used), then freed.
int ReadGroupsXMLTree(std::string_view path);

// The search made after a read: 0 when the root has a child named VERSION
// (without regard to case), 2 without a root, 20 when the root has no
// children, 19 when none of them is VERSION.
struct XMLNode;
int FindGroupsVersionNode(const XMLNode* root);
