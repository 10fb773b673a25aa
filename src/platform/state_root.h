// The one directory under which the registry, the service manager, the
// account rights and the event log keep their files: $TORVANE_STATE_ROOT
// when set, else /var/lib/torvane/; settable by tests. Always ends in '/'.
// Platform layer: reads the environment only.
#pragma once

#include <string>

std::string GetStateRoot();
// Sets the root (a '/' is appended when missing); an empty text restores the
// environment's or the default.
void SetStateRoot(const std::string& root);
