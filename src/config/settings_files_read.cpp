// The Expat reader of env.xml and of the application settings files: one
// state machine for both, fed in 512-byte chunks; settings go first into a
// scratch copy that is checked and only then built into the model.
// Configuration layer: calls the model, the parameter trees, the server lists,
// the store-file marks, the XML value stack, the node registry, UID
// allocation, the log and the clock.
#include "config/settings_files_read.h"

#include <expat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <unordered_set>

#include "config/config_model.h"
#include "config/param_tree.h"
#include "config/store_file_state.h"
#include "foundation/log/ring_log.h"
#include "foundation/result_codes.h"
#include "foundation/uid/node_registry.h"
#include "foundation/uid/uid_alloc.h"
#include "foundation/util/util.h"
#include "foundation/xml/xml_value_stack.h"
#include "foundation/xml/xml_guard.h"
#include "platform/clock.h"

#include "config/server_lists.h"

namespace {

// Fixed element names of both files (compared without regard to case).
constexpr const char kEnvironmentsElement[] = "ENVIRONMENTS";
constexpr const char kDescriptionElement[] = "DESCRIPTION";
constexpr const char kApplicationsElement[] = "APPLICATIONS";
constexpr const char kPermissionsElement[] = "PERMISSIONS";
constexpr const char kConfigurationElement[] = "CONFIGURATION";
constexpr const char kUIDAttribute[] = "uid";
constexpr const char kTypeAttribute[] = "type";

// When new UIDs keep coming out taken (uid.val behind the store), this many
// attempts are made before giving up.
constexpr int kMaxNewUIDAttempts = 16;

enum class Section { Permissions, Configuration };

// The reader's state for one file (one read runs at a time).
struct Reader {
  int32_t state = READER_STOPPED;
  int32_t depth = -1;
  // env.xml: the environment being filled, as an index into the root's
  // environments (the array moves when one is added), or -1.
  long envIndex = -1;
  bool haveApplication = false;  // env.xml: an application element is open
  // Settings reads: where accepted nodes go, and the index of the innermost
  // open node in its section (-1 for none).
  SettingsScratch* scratch = nullptr;
  int32_t currentNode = -1;
  const char* envName = "";  // names for log lines of a settings read
  const char* appName = "";
  // UID checks of a settings read.
  const std::unordered_set<UID>* replacingUIDs = nullptr;
  bool refuseReservedUIDs = false;
  std::unordered_set<UID> textUIDs;
  // The element path (diagnostics) and the length of each of its prefixes.
  std::string path;
  std::vector<size_t> pathLengths;
};

Reader g_reader;

void Stop(Reader& r) { r.state = READER_STOPPED; }

// ---- Element path -------------------------------------------------------------

// Turns each '.' of the element name into '_' (in `name`) and appends it to
// the element path.
void PushSettingsPath(Reader& r, std::string& name) {
  for (char& c : name)
    if (c == '.') c = '_';
  r.pathLengths.push_back(r.path.size());
  if (!r.path.empty()) r.path += '.';
  r.path += name;
}

void PopSettingsPath(Reader& r) {
  if (r.pathLengths.empty()) return;
  r.path.resize(r.pathLengths.back());
  r.pathLengths.pop_back();
}

// ---- env.xml steps ------------------------------------------------------------

EnvironmentStruct* CurrentEnvironment(const Reader& r) {
  TorvaneStructure* root = GetConfigRoot();
  if (root == nullptr || r.envIndex < 0 || static_cast<size_t>(r.envIndex) >= root->envs.size()) return nullptr;
  return &root->envs[static_cast<size_t>(r.envIndex)];
}

// Makes the environment named by the element and makes it current; false
// (logged) stops the reader.
bool CreateXMLEnvironment(Reader& r, const std::string& name) {
  TorvaneStructure* root = GetConfigRoot();
  if (root == nullptr) {
    WriteLog(0, "Cannot create environment as no root created");
    return false;
  }
  if (name.empty()) {
    WriteLog(0, "Cannot create environment as null name given");
    return false;
  }
  // A duplicate name is logged by CreateEnvironment.
  if (CreateEnvironment(root, name.c_str(), 0) == nullptr) return false;
  r.envIndex = static_cast<long>(root->envs.size()) - 1;
  return true;
}

// Adds the application named by the element to the current environment.
bool CreateXMLApplication(Reader& r, const std::string& name) {
  EnvironmentStruct* env = CurrentEnvironment(r);
  if (env == nullptr) {
    WriteLog(0, "Cannot create application as no environment set");
    return false;
  }
  if (name.empty()) {
    WriteLog(0, "Cannot create application as null name given");
    return false;
  }
  if (AddApplication(env, name.c_str()) == nullptr) return false;
  r.haveApplication = true;
  r.currentNode = -1;
  return true;
}

// ---- Settings steps ------------------------------------------------------------

std::vector<SettingsScratchNode>& SectionNodes(Reader& r, Section section) {
  return section == Section::Permissions ? r.scratch->permissions : r.scratch->configuration;
}

// Why a UID from the text cannot be used, or null when it can.
const char* UIDRefusal(const Reader& r, UID uid) {
  if (uid == 0) return nullptr;
  if (r.refuseReservedUIDs && IsReservedUID(uid)) return "is reserved for built-in objects";
  if (r.textUIDs.count(uid) != 0) return "appears twice";
  const bool replaced = r.replacingUIDs != nullptr && r.replacingUIDs->count(uid) != 0;
  if (IsUIDInNodeQA(uid) && !replaced) return "is already in use";
  // uid.val would be raised to it: see kClientUIDLimit.
  if (r.refuseReservedUIDs && uid >= kClientUIDLimit && !replaced) return "is beyond the UIDs this store issues";
  return nullptr;
}

// A parameter node's start tag in PERMISSIONS (state 8) or CONFIGURATION
// (state 9). false stops the reader.
bool AddXMLParam(Reader& r, Section section, const std::string& name, const XML_Char** atts) {
  const bool perm = section == Section::Permissions;
  if (r.scratch == nullptr) {
    WriteLog(0, perm ? "Cannot add permission parameter as no application set"
                     : "Cannot add configuration parameter as no application set");
    return false;
  }
  // The attribute scan. In a permission node it ends at "type", so a uid
  // written after the type is not seen (the node then gets a new UID).
  UID uid = 0;
  for (int i = 0; atts != nullptr && atts[i] != nullptr; i += 2) {
    if (EqualsNoCase(atts[i], kUIDAttribute)) {
      uid = ParseUIDAttribute(atts[i + 1]);
    } else if (EqualsNoCase(atts[i], kTypeAttribute)) {
      // Read and of no effect: every node read becomes a STRING scalar.
      if (perm) break;
    }
  }

  const char* refusal = UIDRefusal(r, uid);
  if (refusal != nullptr) {
    WriteLog(0, "UID %08X of parameter >%s< %s", uid, name.c_str(), refusal);
    if (r.currentNode >= 0) {
      WriteLog(0, perm ? "Unable to add new permission parameter >%s< to current application"
                       : "Unable to add new configuration parameter >%s< to current application",
               name.c_str());
    } else {
      WriteLog(0, perm ? "Unable to create new permission root for application %s in environment %s"
                       : "Unable to create new configuration root for application %s in environment %s",
               r.appName, r.envName);
    }
    return false;
  }

  std::vector<SettingsScratchNode>& nodes = SectionNodes(r, section);
  SettingsScratchNode node;
  node.uid = uid;
  node.parent = r.currentNode;
  node.name = name;
  nodes.push_back(std::move(node));
  if (uid != 0) r.textUIDs.insert(uid);
  r.currentNode = static_cast<int32_t>(nodes.size() - 1);
  return true;
}

// The two sections' start-tag steps (states 8 and 9).
bool AddXMLPermissionParam(Reader& r, const std::string& name, const XML_Char** atts) {
  return AddXMLParam(r, Section::Permissions, name, atts);
}
bool AddXMLConfigurationParam(Reader& r, const std::string& name, const XML_Char** atts) {
  return AddXMLParam(r, Section::Configuration, name, atts);
}

// The end tag of the current parameter node: its value is the element's text
// (none without character data); its parent becomes current.
void CloseXMLParam(Reader& r, Section section) {
  if (r.scratch == nullptr || r.currentNode < 0) return;
  std::vector<SettingsScratchNode>& nodes = SectionNodes(r, section);
  SettingsScratchNode& node = nodes[static_cast<size_t>(r.currentNode)];
  node.value = XMLCharToChar(CurrentXMLValue());
  r.currentNode = node.parent;
}

// ---- Expat callbacks -------------------------------------------------------------

void StartElementStep(Reader& r, const XML_Char* rawName, const XML_Char** atts) {
  ++r.depth;
  std::string name(rawName);
  PushSettingsPath(r, name);
  if (PushXMLValue() != 0) {
    Stop(r);
    return;
  }
  switch (r.state) {
    case READER_ENV_ROOT:
      if (EqualsNoCase(name, kEnvironmentsElement)) {
        r.state = GetConfigRoot() != nullptr ? READER_IN_ENVIRONMENTS : READER_STOPPED;
      } else {
        WriteLog(0, "Root node is >%s< rather than ENVIRONMENTS as required", name.c_str());
        Stop(r);
      }
      break;
    case READER_IN_ENVIRONMENTS:
      r.state = CreateXMLEnvironment(r, name) ? READER_IN_ENVIRONMENT : READER_STOPPED;
      break;
    case READER_IN_ENVIRONMENT:
      if (EqualsNoCase(name, kDescriptionElement)) {
        r.state = READER_IN_DESCRIPTION;
      } else if (EqualsNoCase(name, kApplicationsElement)) {
        r.state = READER_IN_APPLICATIONS;
      } else {
        WriteLog(0, "Expected APPLICATIONS got >%s< instead", name.c_str());
        Stop(r);
      }
      break;
    case READER_IN_APPLICATIONS:
      r.state = CreateXMLApplication(r, name) ? READER_IN_APPLICATION : READER_STOPPED;
      break;
    case READER_SETTINGS_ROOT:
      // The root's name is not compared with the application's.
      r.state = READER_IN_SETTINGS;
      break;
    case READER_IN_SETTINGS:
      if (EqualsNoCase(name, kPermissionsElement)) {
        r.state = READER_IN_PERMISSIONS;
      } else if (EqualsNoCase(name, kConfigurationElement)) {
        r.state = READER_IN_CONFIGURATION;
      } else {
        WriteLog(0, "Found node named >%s< expected PERMISSIONS or CONFIGURATION", name.c_str());
        Stop(r);
      }
      break;
    case READER_IN_PERMISSIONS:
      if (!AddXMLPermissionParam(r, name, atts)) Stop(r);
      break;
    case READER_IN_CONFIGURATION:
      if (!AddXMLConfigurationParam(r, name, atts)) Stop(r);
      break;
    default:  // 5 (inside an application element), 10 (inside DESCRIPTION)
      Stop(r);
      break;
  }
}

void EndElementStep(Reader& r) {
  switch (r.state) {
    case READER_ENV_ROOT:
      break;
    case READER_IN_ENVIRONMENTS:
      r.state = READER_ENV_ROOT;
      break;
    case READER_IN_ENVIRONMENT:
      r.state = READER_IN_ENVIRONMENTS;
      r.envIndex = -1;
      break;
    case READER_IN_APPLICATIONS:
      r.state = READER_IN_ENVIRONMENT;
      r.haveApplication = false;
      break;
    case READER_IN_APPLICATION:
      r.state = READER_IN_APPLICATIONS;
      break;
    case READER_SETTINGS_ROOT:
      Stop(r);
      break;
    case READER_IN_SETTINGS:
      // The settings root closes into state 4: anything but 0 counts as
      // "not stopped", and nothing can follow the root element.
      r.state = READER_IN_APPLICATIONS;
      break;
    case READER_IN_PERMISSIONS:
    case READER_IN_CONFIGURATION:
      CloseXMLParam(r, r.state == READER_IN_PERMISSIONS ? Section::Permissions : Section::Configuration);
      if (r.depth == 1) r.state = READER_IN_SETTINGS;
      break;
    case READER_IN_DESCRIPTION: {
      EnvironmentStruct* env = CurrentEnvironment(r);
      if (env != nullptr) env->description = XMLCharToChar(CurrentXMLValue());
      r.state = READER_IN_ENVIRONMENT;
      break;
    }
    default:
      break;
  }
  --r.depth;
  PopSettingsPath(r);
  PopXMLValue();
}

// The callbacks never let an exception into Expat: a failed allocation stops
// the reader instead.
void XMLCALL EnvXMLStartElement(void* userData, const XML_Char* name, const XML_Char** atts) {
  Reader& r = *static_cast<Reader*>(userData);
  if (r.state == READER_STOPPED) return;
  try {
    StartElementStep(r, name, atts);
  } catch (const std::exception&) {
    WriteLog(1, "Unable to allocate memory for element >%s<", name);
    Stop(r);
  }
}

void XMLCALL EnvXMLEndElement(void* userData, const XML_Char* /*name*/) {
  Reader& r = *static_cast<Reader*>(userData);
  if (r.state == READER_STOPPED) return;
  try {
    EndElementStep(r);
  } catch (const std::exception&) {
    WriteLog(1, "Unable to allocate memory for an element's text");
    Stop(r);
  }
}

void XMLCALL EnvXMLCharData(void* userData, const XML_Char* piece, int length) {
  Reader& r = *static_cast<Reader*>(userData);
  // Text is used only inside DESCRIPTION and parameter nodes; elsewhere it is
  // ignored, so it is not gathered.
  if (r.state != READER_IN_DESCRIPTION && r.state != READER_IN_PERMISSIONS && r.state != READER_IN_CONFIGURATION)
    return;
  if (AppendXMLValue(piece, length) != 0) Stop(r);  // logged there
}

// ---- Running a read ------------------------------------------------------------

// Where the bytes come from: an open file or a text in memory.
struct ChunkSource {
  FILE* fp = nullptr;
  const char* text = nullptr;
  size_t length = 0;
  size_t offset = 0;
  bool readError = false;

  // The next piece of at most kSettingsReadChunkSize bytes (read into
  // `buffer` from a file; in place for a text), its size in `n`, and whether
  // it is the final one (the end was met while reading it).
  const char* Next(char* buffer, size_t& n, bool& final) {
    const char* piece = buffer;
    if (fp != nullptr) {
      n = fread(buffer, 1, kSettingsReadChunkSize, fp);
      if (n < kSettingsReadChunkSize && ferror(fp)) readError = true;
    } else {
      n = length - offset < kSettingsReadChunkSize ? length - offset : kSettingsReadChunkSize;
      piece = text + offset;
      offset += n;
    }
    final = n < kSettingsReadChunkSize;
    return piece;
  }
};

enum class FileKind { EnvMaster, Settings };

// Resets the reader and the XML value stack for a read from `state`.
void StartRead(Reader& r, int32_t state) {
  r.state = state;
  r.depth = -1;
  r.envIndex = -1;
  r.haveApplication = false;
  r.scratch = nullptr;
  r.currentNode = -1;
  r.envName = "";
  r.appName = "";
  r.replacingUIDs = nullptr;
  r.refuseReservedUIDs = false;
  r.textUIDs.clear();
  r.path.clear();
  r.pathLengths.clear();
  ClearXMLValueStack(1);
  ClearCurrentXMLValue();
}

// Feeds the source to a new parser chunk by chunk. 0 when the final chunk was
// parsed without error and the reader never stopped; 20 otherwise (a parse
// error logged with Expat's text, the line and `name`).
int RunRead(Reader& r, ChunkSource& source, FileKind kind, const char* name) {
  XML_Parser parser = XML_ParserCreate(nullptr);
  if (parser == nullptr) {
    WriteLog(1, "Unable to create XML parser for >%s<", name);
    return FR_XML_ERROR;
  }
  XML_SetUserData(parser, &r);
  XML_SetElementHandler(parser, EnvXMLStartElement, EnvXMLEndElement);
  XML_SetCharacterDataHandler(parser, EnvXMLCharData);
  // Documents that declare their own entities are refused: a chain of them
  // would make the parser recurse once per link.
  RefuseXMLEntityDeclarations(parser);

  char buffer[kSettingsReadChunkSize];
  int rc = FR_OK;
  for (;;) {
    bool final = false;
    size_t n = 0;
    const char* piece = source.Next(buffer, n, final);
    if (source.readError) {
      WriteLog(1, "Error reading >%s<", name);
      rc = FR_XML_ERROR;
      break;
    }
    if (XML_Parse(parser, piece, static_cast<int>(n), final ? XML_TRUE : XML_FALSE) != XML_STATUS_OK) {
      const char* text = XML_ErrorString(XML_GetErrorCode(parser));
      int line = static_cast<int>(XML_GetCurrentLineNumber(parser));
      if (kind == FileKind::EnvMaster) {
        WriteLog(0, "XML error %s at line %d of >%s<\n", text ? text : "", line, name);
      } else {
        WriteLog(0, "XML error %s at line %d\n of >%s<", text ? text : "", line, name);
      }
      rc = FR_XML_ERROR;
      break;
    }
    if (r.state == READER_STOPPED) {
      rc = FR_XML_ERROR;
      break;
    }
    if (final) break;
  }
  XML_ParserFree(parser);
  // The stack may still hold texts of elements left open by a failure.
  ClearXMLValueStack(1);
  ClearCurrentXMLValue();
  r.scratch = nullptr;
  r.replacingUIDs = nullptr;
  return rc;
}

// ---- Trees ------------------------------------------------------------------

// Every UID of the application's two trees. Walks with an explicit stack and
// stops at links that do not resolve or come round again.
void CollectApplicationUIDs(const ApplicationStruct* app, std::unordered_set<UID>& out) {
  if (app == nullptr) return;
  std::vector<const ParamTreeNode*> chains;
  if (app->permRoot != nullptr) chains.push_back(app->permRoot);
  if (app->configRoot != nullptr) chains.push_back(app->configRoot);
  while (!chains.empty()) {
    const ParamTreeNode* node = chains.back();
    chains.pop_back();
    while (node != nullptr) {
      if (!out.insert(node->header.uid).second) break;
      if (node->child != 0) {
        const ParamTreeNode* child = GetParamTreeNodeByUID(node->child);
        if (child != nullptr) chains.push_back(child);
      }
      node = node->sibling != 0 ? GetParamTreeNodeByUID(node->sibling) : nullptr;
    }
  }
}

// Settings text into `out` from `source`, with the UID rules of `options`.
int ParseSettingsSource(ChunkSource& source, const char* name, const char* envName, const char* appName,
                        const SettingsParseOptions& options, SettingsScratch& out) {
  out = SettingsScratch{};
  std::unordered_set<UID> replacing;
  CollectApplicationUIDs(options.replacing, replacing);
  Reader& r = g_reader;
  StartRead(r, READER_SETTINGS_ROOT);
  r.scratch = &out;
  r.envName = envName;
  r.appName = appName;
  r.replacingUIDs = &replacing;
  r.refuseReservedUIDs = options.refuseReservedUIDs;
  return RunRead(r, source, FileKind::Settings, name);
}

}  // namespace

// ---- Public ---------------------------------------------------------------------

UID ParseUIDAttribute(const char* text) { return text != nullptr ? ParseHex32LikeStrtoul(text) : 0; }

const std::string& GetSettingsPath() { return g_reader.path; }

int ReadEnvironmentMasterXML(const char* path) {
  if (path == nullptr || path[0] == '\0') return FR_INVALID_PARAMETER;
  Reader& r = g_reader;
  StartRead(r, READER_ENV_ROOT);
  FILE* fp = fopen(path, "rb");
  if (fp == nullptr) {
    WriteLog(1, "Unable to open environments file >%s<", path);
    return FR_CANNOT_OPEN_FILE;
  }
  ChunkSource source;
  source.fp = fp;
  int rc = RunRead(r, source, FileKind::EnvMaster, path);
  fclose(fp);
  r.envIndex = -1;
  if (TorvaneStructure* root = GetConfigRoot()) root->header.timeStamp = NowTime32();
  return rc;
}

int ParseApplicationSettingsText(const char* text, size_t length, const char* sourceName,
                                 const SettingsParseOptions& options, SettingsScratch& out) {
  out = SettingsScratch{};
  if (text == nullptr) return FR_INVALID_PARAMETER;
  ChunkSource source;
  source.text = text;
  source.length = length;
  const char* appName = options.appName != nullptr ? options.appName
                        : options.replacing != nullptr ? options.replacing->name.c_str()
                                                       : "";
  const char* envName = options.envName != nullptr ? options.envName : "";
  try {
    return ParseSettingsSource(source, sourceName != nullptr ? sourceName : "", envName, appName, options, out);
  } catch (const std::exception&) {
    WriteLog(1, "Unable to allocate memory to read >%s<", sourceName != nullptr ? sourceName : "");
    StartRead(g_reader, READER_STOPPED);
    return FR_XML_ERROR;
  }
}

int CheckApplicationSettingsText(const char* text, size_t length, const ApplicationStruct* replacing) {
  SettingsParseOptions options;
  options.replacing = replacing;
  options.refuseReservedUIDs = true;
  SettingsScratch scratch;
  return ParseApplicationSettingsText(text, length, "settings text", options, scratch);
}

int AssignScratchUIDs(SettingsScratch& scratch, const ApplicationStruct* replacing) {
  std::unordered_set<UID> replacingUIDs;
  std::unordered_set<UID> textUIDs;
  UID highest = 0;  // the highest ordinary UID of the text
  bool needed = false;
  try {
    for (auto* section : {&scratch.permissions, &scratch.configuration}) {
      for (const SettingsScratchNode& n : *section) {
        if (n.uid == 0) {
          needed = true;
          continue;
        }
        textUIDs.insert(n.uid);
        if (!IsReservedUID(n.uid) && n.uid > highest) highest = n.uid;
      }
    }
    if (!needed) return FR_OK;
    CollectApplicationUIDs(replacing, replacingUIDs);
  } catch (const std::exception&) {
    WriteLog(1, "Unable to allocate memory to give new UIDs");
    return FR_XML_ERROR;
  }
  auto taken = [&](UID uid) {
    return textUIDs.count(uid) != 0 || (IsUIDInNodeQA(uid) && replacingUIDs.count(uid) == 0);
  };
  // New UIDs come in ranges (one lock and one write of uid.val per range), so
  // a text of many nodes without UIDs does not cost one allocation per node.
  size_t missing = 0;
  for (auto* section : {&scratch.permissions, &scratch.configuration})
    for (const SettingsScratchNode& n : *section)
      if (n.uid == 0) ++missing;
  UID poolNext = 0, poolEnd = 0;  // [poolNext, poolEnd) issued and not yet used
  auto nextFresh = [&]() -> UID {
    if (poolNext == poolEnd) {
      const uint32_t want = missing > 0xFFFFu ? 0xFFFFu : static_cast<uint32_t>(missing == 0 ? 1 : missing);
      const UID first = GetNewUIDRange(want);
      if (first == 0) return 0;
      poolNext = first;
      poolEnd = first + want;
    }
    return poolNext++;
  };
  bool raised = false;
  for (auto* section : {&scratch.permissions, &scratch.configuration}) {
    for (SettingsScratchNode& n : *section) {
      if (n.uid != 0) continue;
      UID uid = 0;
      for (int attempt = 0; attempt < kMaxNewUIDAttempts && uid == 0; ++attempt) {
        UID fresh = nextFresh();
        if (fresh == 0) break;
        if (!taken(fresh)) {
          uid = fresh;
          break;
        }
        if (!raised) {
          // The counter is behind the UIDs in use: move it past all of them
          // once rather than stepping through them, and drop the rest of the
          // range taken before.
          raised = true;
          UID target = GetHighestOrdinaryRegisteredUID();
          if (highest > target) target = highest;
          if (target > fresh && GetUIDDirectory() != nullptr) (void)WriteUIDFile(target);
          poolNext = poolEnd;
        }
      }
      if (missing > 0) --missing;
      if (uid == 0) {
        WriteLog(0, "Unable to give parameter >%s< a new UID", n.name.c_str());
        return FR_XML_ERROR;
      }
      try {
        textUIDs.insert(uid);
      } catch (const std::exception&) {
        return FR_XML_ERROR;
      }
      n.uid = uid;
    }
  }
  return FR_OK;
}

int InstallApplicationSettings(ApplicationStruct* app, const SettingsScratch& scratch) {
  if (app == nullptr) return FR_INVALID_PARAMETER;
  // Nodes arrive in file order, not UID order: register them in one sort.
  const bool ownBulk = !InBulkRegistration();
  if (ownBulk) BeginBulkRegistration();
  int rc = FR_OK;
  for (Section section : {Section::Permissions, Section::Configuration}) {
    const bool perm = section == Section::Permissions;
    const std::vector<SettingsScratchNode>& nodes = perm ? scratch.permissions : scratch.configuration;
    ParamTreeNode*& root = perm ? app->permRoot : app->configRoot;
    std::vector<UID> made;
    try {
      made.resize(nodes.size(), 0);
    } catch (const std::exception&) {
      rc = FR_XML_ERROR;
      break;
    }
    for (size_t i = 0; i < nodes.size() && rc == FR_OK; ++i) {
      const SettingsScratchNode& s = nodes[i];
      const bool topLevel = s.parent < 0;
      UID parentUID = topLevel ? 0 : made[static_cast<size_t>(s.parent)];
      ParamTreeNode* node = nullptr;
      if (topLevel || parentUID != 0) node = AddParamTreeNode(parentUID, s.name.c_str(), s.uid);
      if (node == nullptr) {
        // The UIDs were checked free: only memory can fail here.
        WriteLog(0, perm ? "Unable to add permission parameter >%s< to application %s"
                         : "Unable to add configuration parameter >%s< to application %s",
                 s.name.c_str(), app->name.c_str());
        rc = FR_XML_ERROR;
        break;
      }
      if (topLevel) {
        // To the front of the section's chain: top-level nodes come back in
        // the reverse of their order in the file.
        node->sibling = root != nullptr ? root->header.uid : 0;
        root = node;
      }
      if (SetParamStringValue(node, s.value ? s.value->c_str() : nullptr) != FR_OK) {
        WriteLog(1, "Unable to store the value of parameter >%s<", s.name.c_str());
        rc = FR_XML_ERROR;
        break;
      }
      made[i] = node->header.uid;
    }
    if (rc != FR_OK) break;
  }
  if (ownBulk) EndBulkRegistration();
  return rc;
}

int ReadApplicationSettingsXML(const char* homeDir, EnvironmentStruct* env, ApplicationStruct* app) {
  if (env == nullptr || app == nullptr || env->name.empty() || app->name.empty()) return FR_INVALID_PARAMETER;
  std::string fileName;
  int rc = GetEnvAppFileName(fileName, homeDir != nullptr ? homeDir : "", env->name.c_str(), app->name.c_str());
  if (rc != FR_OK) return rc;

  FILE* fp = fopen(fileName.c_str(), "rb");
  if (fp == nullptr) {
    WriteLog(1, "Unable to open application settings xml file >%s<", fileName.c_str());
    if (FileExists(fileName)) {
      NoteStoreFileFailedToLoad(fileName);
      return FR_CANNOT_OPEN_FILE;
    }
    return FR_FILE_NOT_FOUND;
  }

  WriteLog(0, "About to parse settings file >%s<", fileName.c_str());
  SettingsScratch scratch;
  SettingsParseOptions options;
  options.replacing = nullptr;  // the caller gives the application empty
  options.refuseReservedUIDs = false;
  ChunkSource source;
  source.fp = fp;
  try {
    rc = ParseSettingsSource(source, fileName.c_str(), env->name.c_str(), app->name.c_str(), options, scratch);
  } catch (const std::exception&) {
    WriteLog(1, "Unable to allocate memory to read >%s<", fileName.c_str());
    StartRead(g_reader, READER_STOPPED);
    rc = FR_XML_ERROR;
  }
  fclose(fp);
  WriteLog(0, "Finished parsing file");

  // What was read before a failure stays, as it always has.
  int buildRc = AssignScratchUIDs(scratch, nullptr);
  if (buildRc == FR_OK) buildRc = InstallApplicationSettings(app, scratch);
  if (rc == FR_OK) rc = buildRc;
  if (rc != FR_OK) {
    NoteStoreFileFailedToLoad(fileName);
    return rc;
  }
  (void)BuildServerListForApp(env, app);
  return FR_OK;
}
