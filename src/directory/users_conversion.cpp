// The conversion of USER nodes into user records: the conversion runs of a
// whole tree or of a load file by file, one node's conversion (main fields,
// FIELD elements, add or update, a name given twice), and the pruning of
// what a converted node no longer needs to hold.
// Directory layer: calls the users tree, the user records and their main
// fields, the registry, the XML toolkit and the log.
#include "directory/users_files.h"
#include "directory/users_files_private.h"

#include <algorithm>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "directory/user_main_fields.h"
#include "directory/user_settings.h"
#include "directory/users_tree.h"
#include "foundation/log/ring_log.h"
#include "foundation/result_codes.h"
#include "foundation/uid/node_registry.h"
#include "foundation/util/util.h"
#include "foundation/xml/xml_tree.h"

using namespace users_files_detail;

namespace {

UserStruct g_scratch;  // the conversion's scratch record; never registered

// The children of a USER node that the conversion reads as main fields.
constexpr const char* kMainFieldElements[] = {"UID",     "USERNAME", "PASSWORD", "PASSWORDV2", "FORENAME",
                                              "SURNAME", "EMAIL",    "GROUPLIST", "LEVEL",     kADUserNodeName};

// The element of one of a user's fields: <FIELD NAME="name">value</FIELD>.
constexpr const char kFieldElementName[] = "FIELD";

int MainFieldIndex(const std::string& name) {
  for (size_t i = 0; i < sizeof kMainFieldElements / sizeof kMainFieldElements[0]; ++i) {
    if (EqualsNoCase(name, kMainFieldElements[i])) return static_cast<int>(i);
  }
  return -1;
}

// The run in progress. The bulk registration and the users load open at
// its first node, so a run that converts nothing changes neither.
struct ConversionRun {
  UsersConvertMode mode = USERS_CONVERT_LOAD;
  bool started = false;
  int first = FR_OK;              // the first failing code
  std::vector<XMLNode*> skipped;  // load: the nodes left out, removed at the end in one pass
};
ConversionRun g_run;

}  // namespace

void FreeXMLUser() { g_scratch = UserStruct{}; }

namespace users_files_detail {

void BeginConversionRun(UsersConvertMode mode) {
  g_run.mode = mode;
  g_run.started = false;
  g_run.first = FR_OK;
  g_run.skipped.clear();
}

// Converts one node of the run. `source` is the UID of the per-user file
// the node came from (kNoUID when it did not come from one). In load mode a
// failing node is logged, its file kept, and the node left in the tree
// until the end of the run. The conversion's code.
int ConvertRunNode(XMLNode* node, UID source) {
  const bool load = g_run.mode == USERS_CONVERT_LOAD;
  if (!g_run.started) {
    if (load) BeginBulkRegistration();
    BeginUsersLoad();  // users may come in any order: sorted once at the end
    g_run.started = true;
  }
  const int rc = ConvertXMLNodeToUser(node, g_run.mode);
  if (rc == FR_OK) return rc;
  if (g_run.first == FR_OK) g_run.first = rc;
  if (!load) return rc;
  // A bad user of the files is left out, not the users after it.
  const XMLNode* nameNode = FindXMLChildNode(node, kUserNameNodeName);
  const char* name = nameNode && nameNode->value ? nameNode->value->c_str() : "";
  if (source != kNoUID) {
    WriteLog(0, "Skipping user >%s< of users file %08X.xml (code %d): it is not loaded and its file is kept", name,
             source, rc);
    g_protectedUIDs.insert(source);
  } else {
    WriteLog(0, "Skipping user >%s< of the users file (code %d): it is not loaded", name, rc);
  }
  g_run.skipped.push_back(node);
  return rc;
}

// Ends the run: the array sorted, the registrations merged, the skipped
// nodes removed, and the load state set (load: OK, PARTIAL, or FAILED when
// no user was made; client text: OK or FAILED by its first code). 2 when
// the run had no node ("No users found in the users document" in load
// mode, the load FAILED); else the first failing code, 0 when none failed.
int EndConversionRun() {
  const bool load = g_run.mode == USERS_CONVERT_LOAD;
  int first = g_run.first;
  if (!g_run.started) {
    if (load) {
      WriteLog(0, "No users found in the users document");
      g_loadState = USERS_LOAD_FAILED;
    }
    first = FR_INVALID_PARAMETER;
  } else {
    EndUsersLoad();
    if (load) {
      EndBulkRegistration();
      RemoveUsersTreeChildren(g_run.skipped);
      if (GetUserCount() == 0) {
        WriteLog(0, "No user could be loaded from the users files: they are kept as they are and not rewritten");
        g_loadState = USERS_LOAD_FAILED;
      } else if (!g_run.skipped.empty() || g_readSkipped) {
        g_loadState = USERS_LOAD_PARTIAL;
      } else {
        g_loadState = USERS_LOAD_OK;
      }
    } else {
      g_loadState = first == FR_OK ? USERS_LOAD_OK : USERS_LOAD_FAILED;
    }
  }
  std::vector<XMLNode*>().swap(g_run.skipped);
  g_run.started = false;
  g_readSkipped = false;
  return first;
}

void ResetConversionRun() {
  FreeXMLUser();
  g_run = ConversionRun{};
}

}  // namespace users_files_detail

int ConvertXMLTreeToUsers(UsersConvertMode mode) {
  BeginConversionRun(mode);
  XMLNode* root = GetUsersTreeRoot();
  if (root != nullptr && !root->name.empty() && EqualsNoCase(root->name, kUsersRootName)) {
    // A conversion removes only children already passed (an earlier node
    // of a name given twice), so `next` stays in the tree.
    for (XMLNode* node = root->firstChild; node != nullptr;) {
      XMLNode* next = node->nextSibling;
      if (ConvertRunNode(node, kNoUID) != FR_OK && mode != USERS_CONVERT_LOAD) break;
      node = next;
    }
  }
  return EndConversionRun();
}

namespace {

// The children of a converted USER node that the lookups by name read, as
// the conversion took them: the last USERNAME and the last ADUSER that have
// text (null when there is none).
struct NameChildren {
  const XMLNode* userName = nullptr;
  const XMLNode* adUser = nullptr;
};

// A vector reused from one conversion to the next: emptied when the
// conversion ends (it holds no node across a removal), and its storage given
// back when a text with very many elements made it large.
template <class T>
struct ScratchVector {
  explicit ScratchVector(std::vector<T>& v) : vector(v) { vector.clear(); }
  ~ScratchVector() {
    if (vector.capacity() > 1024) {
      std::vector<T>().swap(vector);
    } else {
      vector.clear();
    }
  }
  ScratchVector(const ScratchVector&) = delete;
  ScratchVector& operator=(const ScratchVector&) = delete;
  std::vector<T>& vector;
};

// Conversion step 1: the main fields of the node's children into the scratch
// record (a later element wins; an element without text changes nothing),
// with the last USERDATA child, the FIELD children in document order and,
// when asked, the name children the record takes.
void ReadMainFieldElements(XMLNode* node, UserStruct& s, XMLNode** userData, std::vector<const XMLNode*>& fieldNodes,
                           NameChildren* names = nullptr) {
  for (XMLNode* c = node->firstChild; c != nullptr; c = c->nextSibling) {
    const std::string& n = c->name;
    if (EqualsNoCase(n, kUserDataName)) {
      *userData = c;
      continue;
    }
    if (EqualsNoCase(n, kFieldElementName)) {
      fieldNodes.push_back(c);
      continue;
    }
    if (!c->value || !SetUserMainFieldFromText(s, n, *c->value) || names == nullptr) continue;
    if (EqualsNoCase(n, kUserNameNodeName)) {
      names->userName = c;
    } else if (EqualsNoCase(n, kADUserNodeName)) {
      names->adUser = c;
    }
  }
}

// Conversion step 5: the node keeps only what its record does not hold. The
// record is the authority for the main fields and the fields (every file
// and reply is written from it), so they go: every main-field child and
// every FIELD, except the USERNAME and ADUSER that the lookups by name read
// (the ones converted; the others would make the node answer to a name that
// is not its record's), and every USERDATA but `userData`, the last (the
// earlier ones would hide it from every settings lookup, which takes the
// first). USERDATA and the children the conversion does not read stay. One
// pass over the children, through the tree's removal operation.
void PruneConvertedUserNode(XMLNode* node, const NameChildren& names, const XMLNode* userData) {
  RemoveUsersTreeNodesIf(node, [&names, userData](const XMLNode* c) {
    if (c == names.userName || c == names.adUser) return false;
    if (EqualsNoCase(c->name, kUserDataName)) return userData != nullptr && c != userData;
    return MainFieldIndex(c->name) >= 0 || EqualsNoCase(c->name, kFieldElementName);
  });
}

// Conversion step 2: the FIELD elements, as the writer writes them
// (<FIELD NAME="n">value</FIELD>), into the scratch record's sorted fields.
// They are sorted once: added one at a time, each would move the field
// array, and a client text may hold a great many. Of two fields whose names
// differ only in letter case the first in the document counts, as when they
// are added one by one. A field without a name or with a repeated one fails
// client text (2) and is logged and left out of a load. 0 or 2.
int SortFieldElements(const std::vector<const XMLNode*>& fieldNodes, const char* name, bool load, UserStruct& s) {
  struct Given {
    const std::string* name;
    const XMLNode* node;
  };
  static std::vector<Given> reused;  // a load converts a great many users
  const ScratchVector<Given> scratch(reused);
  std::vector<Given>& given = scratch.vector;
  given.reserve(fieldNodes.size());
  for (const XMLNode* f : fieldNodes) {
    const std::string* fieldName = nullptr;
    for (const XMLAttribute& a : f->attributes) {
      if (EqualsNoCase(a.name, "NAME")) {
        fieldName = &a.value;
        break;
      }
    }
    if (fieldName == nullptr || fieldName->empty()) {
      WriteLog(0, "Field of user >%s< given without a name", name);
      if (!load) return FR_INVALID_PARAMETER;
      WriteLog(0, "A field of user >%s< is left out", name);
      continue;
    }
    given.push_back(Given{fieldName, f});
  }
  std::stable_sort(given.begin(), given.end(),
                   [](const Given& a, const Given& b) { return CompareNoCase(*a.name, *b.name) < 0; });
  s.fields.reserve(given.size());
  for (const Given& g : given) {
    if (!s.fields.empty() && CompareNoCase(*s.fields.back().name, *g.name) == 0) {
      WriteLog(0, "Cannot add field >%s< as already exists", g.name->c_str());
      if (!load) return FR_INVALID_PARAMETER;
      WriteLog(0, "A field of user >%s< is left out", name);
      continue;
    }
    s.fields.push_back(UserField{*g.name, g.node->value.ToOptional()});
  }
  return FR_OK;
}

// Conversion step 3 for a new user: AddUser, then the record becomes the
// scratch whole (nothing of default_user survives; its address, and so its
// registry entry, stays). 0, 1, 2.
int AddConvertedUser(const char* name, bool load) {
  UserStruct& s = g_scratch;
  if (!load && !IsUIDAllowedForClientUser(name, s.header.uid)) {
    WriteLog(0, "Cannot create user >%s< with UID %08X as that UID belongs to a built-in object", name, s.header.uid);
    return FR_INVALID_PARAMETER;
  }
  AddUserFailure why = ADD_USER_OK;
  const int index = AddUser(name, s.header.uid, &why);  // logs its refusals
  if (index < 0) return why == ADD_USER_NO_MEMORY ? FR_NO_MEMORY : FR_INVALID_PARAMETER;
  UserStruct* user = GetUserByIndex(index);
  const UID uid = user->header.uid;
  UserStruct old = std::exchange(*user, std::move(g_scratch));
  user->header.uid = uid;
  user->header.kind = NODE_KIND_USER;
  NoteUserArrayChanged();  // the record was replaced in place
  FreeXMLUser();
  return FR_OK;
}

// Conversion step 4 when a user of that name was already converted from
// `earlier` (a name twice in one document): the later element `node`
// replaces it, keeping the settings the user had when `node` brings none,
// and the earlier node goes.
void MergeEarlierNode(UserStruct* stored, XMLNode* earlier, XMLNode* node, bool nodeHasSettings) {
  WriteLog(0, "User >%s< is given twice: the later element replaces the earlier", NameForLog(stored));
  if (!nodeHasSettings) {
    XMLNode* kept = (stored->USERDATA != nullptr && stored->USERDATA->parent == earlier)
                        ? stored->USERDATA
                        : FindXMLChildNode(earlier, kUserDataName);
    if (kept != nullptr) {
      UnlinkXMLNode(kept);
      AppendXMLNodeList(node, kept);
    }
    stored->USERDATA = kept;
  }
  RemoveUsersTreeNode(earlier);
}

// Conversion step 3 for a user that exists: UpdateUser from the scratch (a
// non-zero UID must be the stored one, 8), then step 4 when the stored user
// had another node. UpdateUser's codes.
int UpdateConvertedUser(const char* name, XMLNode* node, XMLNode* userData) {
  UserStruct* stored = FindUser(name);
  XMLNode* earlier = UserNodeOfRecord(stored);
  if (earlier == node) earlier = nullptr;
  const int rc = UpdateUser(&g_scratch);
  if (rc != FR_OK) return rc;
  if (earlier != nullptr) MergeEarlierNode(FindUser(name), earlier, node, userData != nullptr);
  return FR_OK;
}

// The steps of ConvertXMLNodeToUser (the scratch released first and, on a
// refusal, again); a bad_alloc is answered by the caller.
int ConvertUserSteps(XMLNode* node, bool load) {
  FreeXMLUser();
  UserStruct& s = g_scratch;
  XMLNode* userData = nullptr;
  static std::vector<const XMLNode*> reused;  // a load converts a great many users
  const ScratchVector<const XMLNode*> scratch(reused);
  std::vector<const XMLNode*>& fieldNodes = scratch.vector;
  NameChildren names;
  ReadMainFieldElements(node, s, &userData, fieldNodes, &names);
  const std::string name = s.USERNAME.value_or(std::string());
  if (!IsValidUserName(s.USERNAME ? name.c_str() : nullptr)) {
    WriteLog(0, "Cannot create user >%s< as it is not a valid username", name.c_str());
    return FR_INVALID_PARAMETER;
  }
  int rc = SortFieldElements(fieldNodes, name.c_str(), load, s);
  if (rc != FR_OK) return rc;
  s.header.kind = NODE_KIND_USER;
  s.USERDATA = userData;
  rc = UserExists(name.c_str()) ? UpdateConvertedUser(name.c_str(), node, userData)
                                : AddConvertedUser(name.c_str(), load);
  if (rc != FR_OK) return rc;
  PruneConvertedUserNode(node, names, userData);
  return FR_OK;
}

}  // namespace

int ConvertXMLNodeToUser(XMLNode* node, UsersConvertMode mode) {
  if (node == nullptr) return FR_INVALID_PARAMETER;
  int rc = FR_OK;
  try {
    rc = ConvertUserSteps(node, mode == USERS_CONVERT_LOAD);
  } catch (const std::bad_alloc&) {
    rc = FR_NO_MEMORY;
  }
  if (rc != FR_OK) FreeXMLUser();
  return rc;
}

void RemoveSupersededUserElements(XMLNode* userNode) {
  if (userNode == nullptr) return;
  constexpr size_t kCount = sizeof kMainFieldElements / sizeof kMainFieldElements[0];
  const XMLNode* winner[kCount] = {};
  size_t seen[kCount] = {};
  const XMLNode* lastData = nullptr;
  size_t dataSeen = 0;
  for (const XMLNode* c = userNode->firstChild; c != nullptr; c = c->nextSibling) {
    const int index = MainFieldIndex(c->name);
    if (index >= 0) {
      ++seen[index];
      if (c->value) winner[index] = c;
    } else if (EqualsNoCase(c->name, kUserDataName)) {
      ++dataSeen;
      lastData = c;
    }
  }
  bool removeAny = dataSeen > 1;
  for (size_t i = 0; i < kCount && !removeAny; ++i) removeAny = seen[i] > (winner[i] != nullptr ? 1u : 0u);
  if (!removeAny) return;  // the usual case: nothing to remove, no second pass
  RemoveUsersTreeNodesIf(userNode, [&](const XMLNode* c) {
    const int index = MainFieldIndex(c->name);
    if (index >= 0) return c != winner[index];
    return c != lastData && EqualsNoCase(c->name, kUserDataName);
  });
}

void ReadUserMainFields(XMLNode* node, UserStruct& fields, XMLNode** userData) {
  fields = UserStruct();
  *userData = nullptr;
  if (node == nullptr) return;
  std::vector<const XMLNode*> fieldNodes;
  ReadMainFieldElements(node, fields, userData, fieldNodes);
}

