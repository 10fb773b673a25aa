// The append-only event log file.
// Platform layer: calls platform/state_root.h, platform/clock.h, platform/fs.h
// (private files and folders), POSIX files.
#include "platform/event_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "platform/clock.h"
#include "platform/fs.h"
#include "platform/state_root.h"

namespace {
const char* TypeName(uint16_t type) {
  switch (type) {
    case EVENTLOG_ERROR_TYPE: return "error";
    case EVENTLOG_WARNING_TYPE: return "warning";
    default: return "information";
  }
}

void AppendEscaped(std::string& out, const std::string& text) {
  for (char c : text) {
    if (c == '\\') out += "\\\\";
    else if (c == '\r') out += "\\r";
    else if (c == '\n') out += "\\n";
    else out += c;
  }
}
}  // namespace

std::string EventLogPath() { return GetStateRoot() + "eventlog/" + kEventLogName + ".log"; }

std::string RenderEventMessage(const std::string& t, const std::vector<std::string>& strings) {
  std::string out;
  for (size_t i = 0; i < t.size(); ++i) {
    if (t[i] != '%' || i + 1 >= t.size()) {
      out += t[i];
      continue;
    }
    char c = t[i + 1];
    if (c == 'n') {
      out += "\r\n";
      ++i;
    } else if (c == '%') {
      out += '%';
      ++i;
    } else if (c >= '1' && c <= '9') {
      size_t index = static_cast<size_t>(c - '1');
      if (index < strings.size()) out += strings[index];
      i += 1;
      // An optional "!fmt!" after the number (only text strings are used).
      if (i + 1 < t.size() && t[i + 1] == '!') {
        size_t close = t.find('!', i + 2);
        if (close != std::string::npos) i = close;
      }
    } else {
      out += t[i];
    }
  }
  return out;
}

int ReportEvent(const std::string& source, uint16_t type, uint16_t category, uint32_t eventID,
                const std::string& templateText, const std::vector<std::string>& strings) {
  std::string root = GetStateRoot();
  MakePrivateDirectory(root);
  MakePrivateDirectory(root + "eventlog/");
  time_t now = static_cast<time_t>(NowSeconds());
  struct tm tmv;
  gmtime_r(&now, &tmv);
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02dZ %s ", tmv.tm_year + 1900, tmv.tm_mon + 1,
                tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec, TypeName(type));
  std::string line = stamp;
  AppendEscaped(line, source);
  char ids[48];
  std::snprintf(ids, sizeof ids, " %u %u ", category, eventID);
  line += ids;
  AppendEscaped(line, RenderEventMessage(templateText, strings));
  line += '\n';
  int fd = OpenPrivateFile(EventLogPath(), O_WRONLY | O_CREAT | O_APPEND);
  if (fd < 0) return errno;
  ssize_t w = ::write(fd, line.data(), line.size());
  int err = w == static_cast<ssize_t>(line.size()) ? 0 : (w < 0 ? errno : EIO);
  ::close(fd);
  return err;
}
