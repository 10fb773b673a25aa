// The start-up load of the whole configuration (env.xml and every
// application's settings file) and the file operations clients use: an
// application's settings file fetched and replaced whole, schema files stored
// and fetched.
// Configuration layer: calls the readers (settings_files_read.h), the writers
// (settings_files_write.h), the model, the server lists, the store-file marks,
// UID allocation and the foundation's file utilities.
#pragma once

#include <cstddef>
#include <string>

struct EnvironmentStruct;

// ---- Start-up load ------------------------------------------------------------------

// Replaces the configuration root by a new one for `homeDir`, reads env.xml at
// `path` (the caller passes homeDir + "env.xml") and then the settings file of
// every application that was built, environments in order and applications
// in order, setting each application's time word.
//   - An env.xml that cannot be opened: 14, nothing else is read.
//   - An env.xml that fails part-way (20): the environments and applications
//     read before the failure are kept and their settings files read.
//   - A missing settings file (21) is an application with no settings yet.
//   - Any other failing settings file keeps what was read before the failure;
//     the next applications are still read.
// Every store file that exists and failed to load (env.xml included) is kept
// as <file>.bad before anything can rewrite it from the partial model
// (NoteStoreFileFailedToLoad; when the copy cannot be made the file stays
// marked and its first rewrite tries again). Marks of an earlier load are
// forgotten first. The result is 0,
// or the first non-zero code other than 21 (14 or 20 of env.xml first). 1 when
// the root cannot be made. Registers the nodes in one bulk registration.
// Then, whatever env.xml gave, ReportUnlistedSettingsFiles.
int ReadEnvironmentsXML(const char* path, const char* homeDir);

// Logs (error flag) each regular file "*.xml" in homeDir's envs/ that is the
// settings file of no environment and application in the model: its settings
// are not loaded (env.xml lost the pair, or it was deleted), and the file is
// never deleted. The number logged.
int ReportUnlistedSettingsFiles(const char* homeDir);

// ---- Settings files for clients -------------------------------------------------------

// The whole settings file of the names (home + "envs/" + safe names) in
// `out`, whether or not the model knows them. 0; 2 for a null or empty name,
// no root, or names too long for a file name; 21 no such file; 14 cannot
// open; 46 read error; 1 no memory. `out` is cleared on failure.
int GetApplicationXML(const char* envName, const char* appName, std::string& out);

// Makes `text` the application's settings file and loads it, or changes
// nothing. In order:
//   2   a null or empty argument;
//   17  no such environment;
//   for an application that does not exist yet: 2 when the name breaks the
//       name rule (IsValidEnvAppName), 7 when another pair has the same
//       settings file name (CheckSettingsFileNameFree); 2 when the file name
//       is too long;
//   20  the text does not load with the reader's rules (parse error, a
//       refused element, a UID in use by another application, a user or a
//       permission, a UID twice, a UID at or above 4000000000, a UID at or
//       above kClientUIDLimit that the application did not already hold),
//       logged;
//   14, 15  the file cannot be written (logged "SetApplicationXML:Unable to
//       open xml file %s" / "SetApplicationXML:Error writing to xml file %s");
// on each of these the model and the file are unchanged. Then the file holds
// `text` byte for byte, the application (under appName as given) holds the
// text's trees in place of its old ones, its server list is rebuilt, its time
// word set and uid.val raised past the text's UIDs. A new application is
// listed in env.xml, which is rewritten: its code (14, 15) is returned when
// that write fails (the application stays). 0.
int SetApplicationXML(const char* envName, const char* appName, const char* text);

// The replacement behind SetApplicationXML for an environment already found,
// also used where the settings text is produced by the server itself (the
// server-list merge). Checks `text` against `env`'s application `appName`
// (creating one when missing, with the name rule, the shared-file-name check
// and the env.xml rewrite above), writes it to the application's settings
// file (`filePath`, or the file name of the names when empty), swaps the
// trees in and rebuilds the server list. `logPrefix` begins the log lines
// ("SetApplicationXML"). `appName` may be the application's own name (it is
// copied before the old record goes). Codes as SetApplicationXML from 2 on
// (no 17), and 1 when memory fails.
// `env` is valid only until the next environment add or delete.
int ReplaceApplicationSettingsText(EnvironmentStruct* env, const char* appName, const char* text,
                                   size_t length, const std::string& filePath,
                                   const char* logPrefix);

// ---- Schema files -----------------------------------------------------------------------

// Stores `text` (up to its NUL, never parsed) as the schema file of the
// application and version (home + "schemas/" + safe(app) + "." +
// safe(version) + ".xsd"), replacing it atomically. 0; 2 for a null or empty
// application name, an application name holding a '.' (it would make the
// split between name and version ambiguous: "a.b"+"c" and "a"+"b.c" would
// share a file), a null version or text, no root or a name too long;
// 14 cannot be created; 15 write failed (logged "Error writing to schema file
// %s"; the old file stays).
int SetApplicationSchema(const char* appName, const char* version, const char* text);

// The schema file whole in `out`. 0; 2 for a null or empty application name,
// one holding a '.' (as above), a null version or no root; ReadFileToBuffer's 21, 14, 46, 1. `out` is
// cleared on failure.
int GetApplicationSchema(const char* appName, const char* version, std::string& out);
