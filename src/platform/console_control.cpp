// Console control: a thread waiting in sigwait for SIGINT, SIGTERM and
// SIGQUIT, calling the installed handler for each.
// Platform layer: POSIX signals and one thread.
#include "platform/console_control.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <thread>

namespace {
std::atomic<ConsoleCtrlHandlerFunction> g_handler{nullptr};
std::atomic<bool> g_threadStarted{false};

sigset_t ConsoleSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGQUIT);
  return set;
}

void WaitForEvents() {
  sigset_t set = ConsoleSignals();
  for (;;) {
    int sig = 0;
    if (sigwait(&set, &sig) != 0) continue;
    uint32_t type = sig == SIGQUIT ? CTRL_BREAK_EVENT : CTRL_C_EVENT;
    ConsoleCtrlHandlerFunction h = g_handler.load();
    if (h != nullptr && h(type)) continue;
    // Not handled: the default, the end of the process.
    _exit(128 + sig);
  }
}
}  // namespace

bool SetConsoleCtrlHandler(ConsoleCtrlHandlerFunction handler, bool add) {
  if (!add) {
    g_handler.store(nullptr);
    return true;
  }
  g_handler.store(handler);
  if (g_threadStarted.exchange(true)) return true;
  sigset_t set = ConsoleSignals();
  if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return false;
  std::thread(WaitForEvents).detach();
  return true;
}

void IgnoreBrokenPipeSignal() { signal(SIGPIPE, SIG_IGN); }
