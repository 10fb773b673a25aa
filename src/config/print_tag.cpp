// The indenting printer of the configuration store's diagnostics.
// Configuration layer: stdio only.
#include "config/print_tag.h"

#include <cstdio>

namespace {
int g_printLevel = 0;  // open levels of PrintTag
}  // namespace

void PrintTag(const char* text, int direction) {
  if (direction < 0 && g_printLevel > 0) --g_printLevel;
  for (int i = 0; i < g_printLevel; ++i) fputs("  ", stdout);
  if (direction > 0) {
    printf("<%s>\n", text != nullptr ? text : "");
    ++g_printLevel;
  } else if (direction < 0) {
    printf("</%s>\n", text != nullptr ? text : "");
  } else {
    printf("%s\n", text != nullptr ? text : "");
  }
}
