// Console control events of our own: SIGINT and SIGTERM are Ctrl-C, SIGQUIT
// is Ctrl-Break, each handed to the installed handler on a thread of its
// own (never in signal context). A handler that does not handle an event
// leaves it to the default: the process ends.
// Platform layer: POSIX signals and one thread.
#pragma once

#include <cstdint>

constexpr uint32_t CTRL_C_EVENT = 0;
constexpr uint32_t CTRL_BREAK_EVENT = 1;

// True when the event was handled.
using ConsoleCtrlHandlerFunction = bool (*)(uint32_t ctrlType);

// Installs (add true) or removes the handler. Call it from the main thread
// before other threads start: the signals are blocked in the caller and in
// every thread it starts afterwards. True on success.
bool SetConsoleCtrlHandler(ConsoleCtrlHandlerFunction handler, bool add);

// SIGPIPE ignored: a peer that goes away shows as an error of the write.
void IgnoreBrokenPipeSignal();
