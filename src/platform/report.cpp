// The receiver of the platform layer's own reports.
// Platform layer: standard error until the log installs itself.
#include "platform/report.h"

#include <cerrno>
#include <cstdio>

namespace {
PlatformReportFunction g_report = nullptr;
}  // namespace

void SetPlatformReportFunction(PlatformReportFunction fn) { g_report = fn; }

void PlatformReport(int errorFlag, const char* text) {
  if (text == nullptr) text = "";
  if (g_report != nullptr) {
    g_report(errorFlag, text);
    return;
  }
  if (errorFlag) {
    fprintf(stderr, "%s : %d\n", text, errno);
  } else {
    fprintf(stderr, "%s\n", text);
  }
}
