// The state root of the file-backed system layers.
// Platform layer: environment only.
#include "platform/state_root.h"

#include <cstdlib>
#include <mutex>

namespace {
std::mutex g_lock;
std::string g_root;

std::string WithSlash(std::string s) {
  if (s.empty() || s.back() != '/') s += '/';
  return s;
}
}  // namespace

std::string GetStateRoot() {
  std::lock_guard<std::mutex> hold(g_lock);
  if (!g_root.empty()) return g_root;
  const char* env = std::getenv("TORVANE_STATE_ROOT");
  return WithSlash(env != nullptr && *env ? env : "/var/lib/torvane");
}

void SetStateRoot(const std::string& root) {
  std::lock_guard<std::mutex> hold(g_lock);
  g_root = root.empty() ? std::string() : WithSlash(root);
}
