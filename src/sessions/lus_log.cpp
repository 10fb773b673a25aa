// The slot-operations log file, the lusdump.txt dump of a full slot table and
// the local-time texts they carry.
// Sessions layer: calls the server settings, the clock, the XML escape, the
// file helpers and the platform files; reads the slot table.
#include "sessions/lus_log.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "foundation/settings/server_settings.h"
#include "foundation/util/util.h"
#include "foundation/xml/xml_escape.h"
#include "platform/atomic_file.h"
#include "platform/clock.h"
#include "platform/fs.h"
#include "sessions/logon_slots.h"

namespace {

std::string g_lusLogFileName;  // fixed by the first line of the process

constexpr size_t kLUSLogTextMax = 16384;

}  // namespace

// ---- Local time --------------------------------------------------------------------------

std::string FormatLocalTime(int64_t seconds, const char* format) {
  time_t t = static_cast<time_t>(seconds);
  struct tm parts {};
  if (!format || !localtime_r(&t, &parts)) return std::string();
  char text[64];
  size_t n = strftime(text, sizeof text, format, &parts);
  return std::string(text, n);
}

// ---- Slot-operations log ---------------------------------------------------------------

void WriteLUSLog(const char* text, int withTime) {
  if (GetServerSettings().logSlotOperations == 0) return;
  if (!text) text = "";
  int64_t now = NowSeconds();
  if (g_lusLogFileName.empty()) {
    std::string dir = std::string(GetServerSettings().homeDirectory) + "luslogs/";
    MakeSureDirectoryPathExists(dir);
    g_lusLogFileName = dir + FormatLocalTime(now, "%Y%m%d%H%M%S") + ".txt";
  }
  FILE* fp = OpenPrivateStream(g_lusLogFileName, "a");
  if (!fp) return;
  if (withTime) {
    fprintf(fp, "%s : %s\n", text, FormatLocalTime(now, kLocalTimeStampFormat).c_str());
  } else {
    fprintf(fp, "%s\n", text);
  }
  fclose(fp);
}

void WriteLUSLogF(int withTime, const char* format, ...) {
  if (GetServerSettings().logSlotOperations == 0) return;
  char text[kLUSLogTextMax];
  va_list ap;
  va_start(ap, format);
  int n = vsnprintf(text, sizeof text, format, ap);
  va_end(ap);
  if (n < 0) text[0] = '\0';
  WriteLUSLog(text, withTime);
}

const std::string& GetLUSLogFileName() { return g_lusLogFileName; }

void ResetLUSLog() { g_lusLogFileName.clear(); }

// ---- lusdump.txt -------------------------------------------------------------------------

std::string BuildLoggedOnUsersDump() {
  char word[64];
  std::string out = "<LoggedOnUsers>\n";
  snprintf(word, sizeof word, "<DateTime>%08X</DateTime>\n", NowTime32());
  out += word;
  snprintf(word, sizeof word, "<Count>%d</Count>", GetLUSCount());
  out += word;
  for (int i = 0; i < GetLUSCount(); ++i) {
    const LUS& slot = *GetLUSByIndex(i);
    snprintf(word, sizeof word, "<ENTRY><POS>%d</POS><NAME>", i + 1);
    out += word;
    if (slot.USERNAME) AppendXMLEscaped(out, *slot.USERNAME);
    snprintf(word, sizeof word, "</NAME><LEVEL>%d</LEVEL><LU>%08X</LU>", static_cast<int>(slot.USERLEVEL),
             slot.LASTUSED);
    out += word;
    for (const SLS& session : slot.sessions) {
      snprintf(word, sizeof word, "<SLS><CID>%08X</CID></SLS>", static_cast<uint32_t>(session.CID));
      out += word;
    }
    out += "</ENTRY>\n";
  }
  out += "</LoggedOnUsers>";
  return out;
}

void DumpLoggedOnUsers() {
  std::string path = std::string(GetServerSettings().homeDirectory) + "lusdump.txt";
  if (FileExists(path)) return;
  std::string text = BuildLoggedOnUsersDump();
  AtomicFile file;
  if (AtomicFileBegin(file, path) != ATOMIC_OK) return;
  fwrite(text.data(), 1, text.size(), file.fp);
  AtomicFileCommit(file);
}
