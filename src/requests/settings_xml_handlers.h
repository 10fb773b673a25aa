// The settings-file, schema and server-list XML handlers: env.xml, settings
// files, schema files and their list, server lists and environment
// descriptions as whole texts between clients and the configuration store.
// Requests layer: calls the handler conventions, the configuration store, the
// logon settings, the wire primitives, the directory listing and the log.
#pragma once

#include <cstddef>
#include <string>

// ---- Handlers (each given the socket) ----------------------------------------

int IPSetApplicationSchemaVersion(int sock);  // 6642
int IPGetApplicationSchema(int sock);         // 6643
int IPGetSchemaList(int sock);                // 6644
int IPGetMasterEnvXML(int sock);              // 6645
int IPGetEnvAppXML(int sock);                 // 6646
int IPSetEnvAppXML(int sock);                 // 6647
int IPSetApplicationSchema(int sock);         // 6653
int IPGetEnvDescription(int sock);            // 6656
int IPSetEnvDescription(int sock);            // 6657
int IPGetAppServerListXML(int sock);          // 6675
int IPSetAppServerListXML(int sock);          // 6676

// ---- The schema list ---------------------------------------------------------------

// The list stops after the name that takes its text past this many bytes.
constexpr size_t kSchemaListLimit = 32000;

// The schema names of the directory `schemasDir` (ending in '/'): every
// regular file (a symbolic link to one included, as stat sees it) whose name ends in ".xsd"
// exactly, holds no control byte and is more than the suffix, without that
// suffix and followed by "\n", in the order the directory gives them, up to
// and including the name that passes kSchemaListLimit. A directory that
// cannot be read gives the empty text.
std::string BuildSchemaList(const std::string& schemasDir);
