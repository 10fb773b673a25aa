// The writers of the configuration store's files: env.xml (the environments,
// their descriptions and application names) and one settings file per
// application (its permission and configuration trees), byte for byte.
// Configuration layer: calls the model (config_model.h), the parameter trees,
// the XML escaping of the foundation and the platform atomic-file helper.
// The readers of the same files live beside this module (settings_files_read).
#pragma once

#include <cstdio>
#include <string>

struct TorvaneStructure;
struct EnvironmentStruct;
struct ApplicationStruct;
struct ParamTreeNode;

// ---- Layout ------------------------------------------------------------------
//
// env.xml (lines end in "\n"; none after the last):
//   <?xml version="1.0"?>
//   <ENVIRONMENTS>
//   <Env>                                  per environment, in the root's order
//   <DESCRIPTION>escaped</DESCRIPTION>     only when it has a description
//   <APPLICATIONS>
//   <App/>                                 per application, in sorted order
//   </APPLICATIONS>
//   </Env>
//   </ENVIRONMENTS>
//
// Settings file:
//   <?xml version="1.0"?>\n<App>\n<PERMISSIONS>\n{perm nodes}</PERMISSIONS>\n
//   <CONFIGURATION>\n{config nodes}</CONFIGURATION>\n</App>
// Node text: <Name uid="%08X" type="TYPE"> [value line "\n"] {children}
// </Name>\n, then the following siblings. No line feed follows a start tag.

constexpr const char kXmlDeclarationLine[] = "<?xml version=\"1.0\"?>";

// ---- Text builders (no file) ------------------------------------------------------

// The env.xml text of `root`. 0, or 2 for a null root.
int BuildEnvironmentMasterText(const TorvaneStructure* root, std::string& out);

// The settings-file text of `app`. 0, or 2 for a null application or a node
// whose type cannot be written (COMPLEX or unknown); `out` is cleared then.
int BuildApplicationSettingsText(const ApplicationStruct* app, std::string& out);

// Appends the node text of `node` and of every node after it in its chain
// (depth first; children through an explicit stack, so neither deep nesting
// nor long chains use the call stack). A link that does not resolve ends
// that chain. 0, or 2 for a null node or a type other than 0..7 (`out` then
// holds a partial text).
int AppendParamNodeXML(std::string& out, const ParamTreeNode* node);

// Appends the value line of one node (nothing for a node without a value):
// STRING / FIXED_STRING escaped text, INTEGER "%d", DWORD "%08X", FLOAT "%f",
// DATE, TIME, DATE_TIME "%08X", each followed by "\n". 0, or 2 for a null node
// or a type other than 0..7.
int AppendParamValueXML(std::string& out, const ParamTreeNode* node);

// ---- File writers -------------------------------------------------------------------

// The node text of `node` with its following siblings, written to `file`.
// 0, 2 (null file or node, or a type other than 0..7), 15 (write failed).
int WriteParamNodeXML(FILE* file, const ParamTreeNode* node);

// The value line of `node` written to `file`. 0, 2, 15 as above.
int WriteParamValueXML(FILE* file, const ParamTreeNode* node);

// Replaces the file at `path` with `text` through the atomic-file helper,
// first keeping a copy of a file marked as failed to load
// (KeepFailedStoreFileCopy; its 15 stops the write). 0; 14 when the temporary
// file cannot be created; 15 when a write, flush, sync, close or rename fails
// (the old file is kept). The one door through which this subsystem writes
// its store files.
int WriteConfigFileText(const std::string& path, const std::string& text);

// Rewrites env.xml at `path` from the process root. 2 for a null or empty path
// (logged "Asked to write environment master file but no filename provided")
// or no root; 14 when it cannot be created (logged "Unable to open
// environment master file >%s<"); 15 when any part, the description
// included, or the flush or close fails; else 0. Once the file was opened,
// the root's time word becomes the current time, whatever the outcome.
int WriteEnvironmentMasterFile(const char* path);

// Rewrites the application's settings file: `path`, or with a null or empty
// path the file name of env/app (GetEnvAppFileName). 2 without env, app or
// a root (logged "Asked to write application settings to
// file but missing either environment or application"), or for a node that
// cannot be written; 14 when it cannot be created; 15 when writing fails;
// else 0. Once the file was opened the application's time word becomes the
// current time.
int WriteApplicationSettingsXML(const char* path, EnvironmentStruct* env, ApplicationStruct* app);
