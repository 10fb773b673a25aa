// The version-1 reader: users.xml (or a client's users text), read in
// pieces into the users tree and converted whole.
// Directory layer: calls the users tree, the conversion, the XML toolkit,
// the file-system helpers, the clock and the log.
#include "directory/users_files.h"
#include "directory/users_files_private.h"

#include <expat.h>

#include <cstdio>

#include "directory/users_tree.h"
#include "foundation/log/ring_log.h"
#include "foundation/result_codes.h"
#include "foundation/xml/xml_value_stack.h"
#include "platform/clock.h"
#include "platform/fs.h"

using namespace users_files_detail;

int ReadUsersXML(const char* path, UsersConvertMode mode) {
  const bool load = mode == USERS_CONVERT_LOAD;
  if (load) ForgetListOnDisk();
  FILE* fp = path != nullptr && path[0] != '\0' ? fopen(path, "rb") : nullptr;
  if (fp == nullptr) {
    WriteLog(1, "Unable to open users file >%s<", path ? path : "");
    if (load) g_loadState = USERS_LOAD_FAILED;
    return FR_FAILED;
  }
  FileStatus status;
  PrepareLoad(GetFileStatus(path, status) ? static_cast<size_t>(status.size / 256) : 0);
  g_readSkipped = false;

  XML_Parser parser = XML_ParserCreate("UTF-8");
  ClearXMLValueStack(1);
  ClearCurrentXMLValue();
  ClearUsersReadFailure();
  SetUsersTreeCursor(nullptr);
  bool ok = parser != nullptr;
  if (ok) {
    InstallUsersTreeHandlers(parser);
    char piece[kUsersReadPieceSize];
    for (;;) {
      const size_t n = fread(piece, 1, sizeof piece, fp);
      if (ferror(fp)) {
        WriteLog(1, "Error reading from file %s", path);
        ok = false;
        break;
      }
      const bool last = n < sizeof piece;
      if (XML_Parse(parser, piece, static_cast<int>(n), last ? 1 : 0) != XML_STATUS_OK || UsersReadFailed()) {
        LogParseError(parser);
        ok = false;
        break;
      }
      if (last) break;
    }
  }
  EndParse(parser);
  fclose(fp);
  if (!ok) {
    if (load) g_loadState = USERS_LOAD_FAILED;
    return FR_FAILED;
  }
  // A new store, now that its text is good: the files kept from an earlier
  // partial load are its to write. (A client's text that does not parse
  // leaves them kept for the reload that follows.)
  g_protectedUIDs.clear();
  SetUsersTime(NowTime32());
  return ConvertXMLTreeToUsers(mode);
}
