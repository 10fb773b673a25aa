// The tree reader of groups.xml.
// Directory layer: the XML tree toolkit, the groups model, the clock, the
// utilities and the log.
#include "directory/groups_file_tree.h"

#include <string>

#include "directory/groups.h"
#include "foundation/log/ring_log.h"
#include "foundation/result_codes.h"
#include "foundation/util/util.h"
#include "foundation/xml/xml_tree.h"
#include "platform/clock.h"

int FindGroupsVersionNode(const XMLNode* root) {
  if (root == nullptr) return FR_INVALID_PARAMETER;
  if (root->firstChild == nullptr) return FR_XML_ERROR;
  for (const XMLNode* c = root->firstChild; c != nullptr; c = c->nextSibling) {
    if (EqualsNoCase(c->name, "VERSION")) return FR_OK;
  }
  return FR_NODE_NOT_FOUND;
}

int ReadGroupsXMLTree(std::string_view path) {
  const std::string file(path);
  int code = FR_OK;
  // The whole document is parsed before anything in memory changes, so a
  // file that cannot be read or parsed leaves the groups as they were.
  XMLNodeListPtr root(file.empty() ? nullptr : LoadXMLFileAsNodeTree(file, &code));
  SetGroupsTime(NowTime32());
  if (!root) {
    if (code != FR_XML_ERROR) WriteLog(1, "Unable to open groups file >%s<", file.c_str());
    return -1;
  }
  FreeGroupArray();
  (void)FindGroupsVersionNode(root.get());
  return 0;
}
