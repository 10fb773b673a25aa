// The configuration store's record of store files that failed to load at
// start-up (env.xml, application settings files). Memory then holds only what
// was read before the failure, so the first rewrite of such a file would lose
// the rest: a copy of the old file is kept beside it ("<file>.bad") when the
// load fails, or, when that copy cannot be made, by its first rewrite.
// Configuration layer: calls the log, the result codes and the platform file
// services only, so that every writer of this subsystem may call it.
#pragma once

#include <string>

// The copy of a file that failed to load: "<file>.bad" in the same directory.
constexpr const char kFailedStoreFileSuffix[] = ".bad";

// ---- Marking --------------------------------------------------------------------

// What the loaders call for a store file that exists and failed to load:
// marks it and keeps the copy "<file>.bad" at once (KeepFailedStoreFileCopy),
// so the copy is there before any writer, whichever way it writes, can
// replace the file. When the copy cannot be made now the mark stays, and the
// writers' hook below tries again before the first rewrite.
void NoteStoreFileFailedToLoad(const std::string& path);

// Records that the store file at `path` failed to load, so that its first
// rewrite keeps the old file as `path` + ".bad". Marking a marked file again
// changes nothing. Paths compare byte for byte: mark the name the writers
// build (GetEnvAppFileName, GetEnvMasterFileName). An empty path is ignored.
void MarkStoreFileFailedToLoad(const std::string& path);

// True while `path` is marked (until its first rewrite keeps the copy).
bool IsStoreFileMarkedFailed(const std::string& path);

// The number of marked files (for diagnostics and tests).
size_t GetFailedStoreFileCount();

// What a new application calls for its settings file before writing it: a
// file already there belongs to no loaded application (one that env.xml lost
// at a failed load, or one deleted earlier), so it is marked like a file that
// failed to load and its first rewrite keeps it as "<file>.bad". A missing
// file changes nothing.
void NoteUnloadedStoreFile(const std::string& path);

// ---- The rewrite hook -------------------------------------------------------------

// To be called by every writer of a store file before it replaces `path`.
// When `path` is marked: copies the file as it now stands to `path` + ".bad"
// (replacing an older copy atomically; logged "Keeping >%s< as >%s< since it
// failed to load") and removes the mark. 0 when the file is not marked, when
// the copy was made, or when there is no longer a file to keep (the mark is
// dropped then); 15 (logged with the error flag) when the copy cannot be made:
// the mark stays and the caller must not replace the file, which is the only
// full copy of the settings that could not be loaded.
int KeepFailedStoreFileCopy(const std::string& path);

// ---- Reset --------------------------------------------------------------------------

// Forgets every mark (a new start-up load; tests).
void ResetStoreFileMarks();
