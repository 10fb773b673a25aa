// The byte-exact writers of env.xml and of the application settings files.
// Each file is composed in memory and then replaces the old one through the
// atomic-file helper, so a failed write (disk full, failed flush or close)
// keeps the old file and is reported.
// Configuration layer: calls the model, the parameter trees, the XML escaping,
// the store-file marks, the log, the clock and the platform atomic-file
// helper.
#include "config/settings_files_write.h"

#include <cinttypes>
#include <cstdarg>
#include <cstring>
#include <vector>

#include "config/config_model.h"
#include "config/param_tree.h"
#include "config/store_file_state.h"
#include "foundation/log/ring_log.h"
#include "foundation/result_codes.h"
#include "foundation/uid/node_registry.h"
#include "foundation/xml/xml_escape.h"
#include "platform/atomic_file.h"
#include "platform/clock.h"

namespace {

// printf into the end of `out`.
void AppendFormat(std::string& out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void AppendFormat(std::string& out, const char* format, ...) {
  char small[64];
  va_list ap;
  va_start(ap, format);
  int n = vsnprintf(small, sizeof small, format, ap);
  va_end(ap);
  if (n < 0) return;
  if (static_cast<size_t>(n) < sizeof small) {
    out.append(small, static_cast<size_t>(n));
    return;
  }
  // Only "%f" of a huge double gets here.
  size_t at = out.size();
  out.resize(at + static_cast<size_t>(n) + 1);
  va_start(ap, format);
  vsnprintf(&out[at], static_cast<size_t>(n) + 1, format, ap);
  va_end(ap);
  out.resize(at + static_cast<size_t>(n));
}

inline bool IsWritableType(uint32_t type) { return type <= PARAM_TYPE_DATE_TIME; }

const std::string& NodeName(const ParamTreeNode* node) {
  static const std::string kEmpty;
  return node->name ? *node->name : kEmpty;
}

// The start tag: <Name uid="%08X" type="TYPE"> with no line feed.
void AppendStartTag(std::string& out, const ParamTreeNode* node) {
  out += '<';
  out += NodeName(node);
  AppendFormat(out, " uid=\"%08X\" type=\"%s\">", node->header.uid, GetParamTypeName(node));
}

void AppendEndTag(std::string& out, const ParamTreeNode* node) {
  out += "</";
  out += NodeName(node);
  out += ">\n";
}

// The node after `node` in its chain, or null at its end or at a link that
// does not resolve.
const ParamTreeNode* NextSibling(const ParamTreeNode* node) {
  return node->sibling != 0 ? GetParamTreeNodeByUID(node->sibling) : nullptr;
}

// Writes all of `text` to the stream. 0, or 15.
int WriteTextToStream(FILE* file, const std::string& text) {
  if (text.empty()) return FR_OK;
  if (fwrite(text.data(), 1, text.size(), file) != text.size() || ferror(file)) return FR_WRITE_FAILED;
  return FR_OK;
}

}  // namespace

// ---- Node text -----------------------------------------------------------------------

int AppendParamValueXML(std::string& out, const ParamTreeNode* node) {
  if (node == nullptr || !IsWritableType(node->type)) return FR_INVALID_PARAMETER;
  if (!ParamNodeHasValue(node)) return FR_OK;
  const ParamValue& v = *node->data;
  // An array value (which nothing stores in these files) writes its first
  // element, as its text form shows it.
  switch (node->type) {
    case PARAM_TYPE_STRING:
      AppendXMLEscaped(out, v.strings[0]);
      break;
    case PARAM_TYPE_FIXED_STRING:
      AppendXMLEscaped(out, v.fixedStrings[0].text);
      break;
    case PARAM_TYPE_INTEGER:
      AppendFormat(out, "%d", static_cast<int32_t>(v.words[0]));
      break;
    case PARAM_TYPE_FLOAT:
      AppendFormat(out, "%f", v.doubles[0]);
      break;
    default:  // DWORD, DATE, TIME, DATE_TIME
      AppendFormat(out, "%08X", v.words[0]);
      break;
  }
  out += '\n';
  return FR_OK;
}

// Depth first without recursion. `open` holds the nodes whose start tag is
// written and whose children are being written; when a chain of children
// ends, the innermost open node gets its end tag and its own chain goes on.
// The walk visits each registered node at most once in a sound tree; a count
// bound stops it should corrupt links ever form a cycle.
int AppendParamNodeXML(std::string& out, const ParamTreeNode* node) {
  if (node == nullptr) return FR_INVALID_PARAMETER;
  std::vector<const ParamTreeNode*> open;
  size_t budget = GetNodeQACount() + 1;
  const ParamTreeNode* cur = node;
  for (;;) {
    while (cur != nullptr) {
      if (budget-- == 0) {
        WriteLog(0, "Parameter tree of node %08X has a link cycle", node->header.uid);
        return FR_INVALID_PARAMETER;
      }
      if (!IsWritableType(cur->type)) {
        WriteLog(0, "Cannot write parameter node >%s< of type %s", NodeName(cur).c_str(), GetParamTypeName(cur));
        return FR_INVALID_PARAMETER;
      }
      AppendStartTag(out, cur);
      int rc = AppendParamValueXML(out, cur);
      if (rc != FR_OK) return rc;
      const ParamTreeNode* child = cur->child != 0 ? GetParamTreeNodeByUID(cur->child) : nullptr;
      if (child != nullptr) {
        open.push_back(cur);
        cur = child;
        continue;
      }
      AppendEndTag(out, cur);
      cur = NextSibling(cur);
    }
    if (open.empty()) break;
    cur = open.back();
    open.pop_back();
    AppendEndTag(out, cur);
    cur = NextSibling(cur);
  }
  return FR_OK;
}

int WriteParamNodeXML(FILE* file, const ParamTreeNode* node) {
  if (file == nullptr || node == nullptr) return FR_INVALID_PARAMETER;
  std::string text;
  int rc = AppendParamNodeXML(text, node);
  if (rc != FR_OK) return rc;
  return WriteTextToStream(file, text);
}

int WriteParamValueXML(FILE* file, const ParamTreeNode* node) {
  if (file == nullptr || node == nullptr) return FR_INVALID_PARAMETER;
  std::string text;
  int rc = AppendParamValueXML(text, node);
  if (rc != FR_OK) return rc;
  return WriteTextToStream(file, text);
}

// ---- Whole texts ---------------------------------------------------------------------------

int BuildEnvironmentMasterText(const TorvaneStructure* root, std::string& out) {
  out.clear();
  if (root == nullptr) return FR_INVALID_PARAMETER;
  out += kXmlDeclarationLine;
  out += "\n<ENVIRONMENTS>\n";
  for (const EnvironmentStruct& env : root->envs) {
    out += '<';
    out += env.name;
    out += ">\n";
    if (env.description) {
      out += "<DESCRIPTION>";
      AppendXMLEscaped(out, *env.description);
      out += "</DESCRIPTION>\n";
    }
    out += "<APPLICATIONS>\n";
    for (const ApplicationStruct& app : env.apps) {
      out += '<';
      out += app.name;
      out += "/>\n";
    }
    out += "</APPLICATIONS>\n</";
    out += env.name;
    out += ">\n";
  }
  out += "</ENVIRONMENTS>";
  return FR_OK;
}

int BuildApplicationSettingsText(const ApplicationStruct* app, std::string& out) {
  out.clear();
  if (app == nullptr) return FR_INVALID_PARAMETER;
  out += kXmlDeclarationLine;
  out += "\n<";
  out += app->name;
  out += ">\n<PERMISSIONS>\n";
  int rc = app->permRoot != nullptr ? AppendParamNodeXML(out, app->permRoot) : FR_OK;
  if (rc == FR_OK) {
    out += "</PERMISSIONS>\n<CONFIGURATION>\n";
    if (app->configRoot != nullptr) rc = AppendParamNodeXML(out, app->configRoot);
  }
  if (rc != FR_OK) {
    out.clear();
    return rc;
  }
  out += "</CONFIGURATION>\n</";
  out += app->name;
  out += '>';
  return FR_OK;
}

// ---- Files ----------------------------------------------------------------------------------

int WriteConfigFileText(const std::string& path, const std::string& text) {
  // A file that failed to load holds settings memory never saw: keep a copy
  // before the first replacement (nothing happens for any other file).
  int rc = KeepFailedStoreFileCopy(path);
  if (rc != FR_OK) return rc;
  AtomicFile af;
  if (AtomicFileBegin(af, path) != ATOMIC_OK) return FR_CANNOT_OPEN_FILE;
  if (WriteTextToStream(af.fp, text) != FR_OK) {
    WriteLog(1, "Error writing to file >%s<", path.c_str());
    AtomicFileAbort(af);
    return FR_WRITE_FAILED;
  }
  // The commit flushes and closes: a full disk often shows only here.
  if (AtomicFileCommit(af) != ATOMIC_OK) {
    WriteLog(1, "Error writing to file >%s<", path.c_str());
    return FR_WRITE_FAILED;
  }
  return FR_OK;
}

int WriteEnvironmentMasterFile(const char* path) {
  if (path == nullptr || path[0] == '\0') {
    WriteLog(0, "Asked to write environment master file but no filename provided");
    return FR_INVALID_PARAMETER;
  }
  TorvaneStructure* root = GetConfigRoot();
  std::string text;
  int rc = BuildEnvironmentMasterText(root, text);
  if (rc != FR_OK) return rc;
  rc = WriteConfigFileText(path, text);
  if (rc == FR_CANNOT_OPEN_FILE) {
    WriteLog(1, "Unable to open environment master file >%s<", path);
    return rc;
  }
  root->header.timeStamp = NowTime32();
  return rc;
}

int WriteApplicationSettingsXML(const char* path, EnvironmentStruct* env, ApplicationStruct* app) {
  TorvaneStructure* root = GetConfigRoot();
  if (env == nullptr || app == nullptr || root == nullptr) {
    WriteLog(0, "Asked to write application settings to file but missing either environment or application");
    return FR_INVALID_PARAMETER;
  }
  std::string fileName;
  if (path != nullptr && path[0] != '\0') {
    fileName = path;
  } else {
    int rc = GetEnvAppFileName(fileName, root->homeDir.c_str(), env->name.c_str(), app->name.c_str());
    if (rc != FR_OK) return rc;
  }
  std::string text;
  int rc = BuildApplicationSettingsText(app, text);
  if (rc != FR_OK) return rc;  // nothing written: the old file stays
  rc = WriteConfigFileText(fileName, text);
  if (rc == FR_CANNOT_OPEN_FILE) {
    WriteLog(1, "Unable to open application settings file >%s<", fileName.c_str());
    return rc;
  }
  app->header.timeStamp = NowTime32();
  return rc;
}
