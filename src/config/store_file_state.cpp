// The marks of store files that failed to load, and the copy "<file>.bad"
// that the first rewrite of a marked file keeps.
// Configuration layer: calls the log, the result codes and the platform file
// services (probe, copy) only.
#include "config/store_file_state.h"

#include <cerrno>
#include <set>

#include "foundation/log/ring_log.h"
#include "foundation/result_codes.h"
#include "platform/fs.h"

namespace {

// A handful of files at most (those that failed at the last start-up).
std::set<std::string> g_failedFiles;

}  // namespace

void MarkStoreFileFailedToLoad(const std::string& path) {
  if (path.empty()) return;
  g_failedFiles.insert(path);
}

void NoteStoreFileFailedToLoad(const std::string& path) {
  if (path.empty()) return;
  MarkStoreFileFailedToLoad(path);
  (void)KeepFailedStoreFileCopy(path);  // on failure the mark stays (logged there)
}

void NoteUnloadedStoreFile(const std::string& path) {
  if (path.empty() || ProbePath(path) == PATH_MISSING) return;
  MarkStoreFileFailedToLoad(path);
}

bool IsStoreFileMarkedFailed(const std::string& path) { return g_failedFiles.count(path) != 0; }

size_t GetFailedStoreFileCount() { return g_failedFiles.size(); }

int KeepFailedStoreFileCopy(const std::string& path) {
  auto it = g_failedFiles.find(path);
  if (it == g_failedFiles.end()) return FR_OK;
  if (ProbePath(path) == PATH_MISSING) {
    // Gone since the load (removed by hand): nothing is left to keep.
    g_failedFiles.erase(it);
    return FR_OK;
  }
  const std::string copy = path + kFailedStoreFileSuffix;
  if (!CopyWholeFile(path, copy)) {
    WriteLog(1, "Unable to keep >%s< as >%s<, so it is not rewritten", path.c_str(), copy.c_str());
    return FR_WRITE_FAILED;
  }
  WriteLog(0, "Keeping >%s< as >%s< since it was not loaded", path.c_str(), copy.c_str());
  g_failedFiles.erase(it);
  return FR_OK;
}

void ResetStoreFileMarks() { g_failedFiles.clear(); }
