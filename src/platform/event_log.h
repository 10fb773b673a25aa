// An event log of our own: one append-only file, <state root>eventlog/<log>.log,
// one line per event written by one O_APPEND write: the UTC time, the type,
// the source and the event's text rendered from its message template, with
// '\\', carriage returns and line feeds escaped so every event is one line.
// Platform layer: calls platform/state_root.h, platform/clock.h, POSIX files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr uint16_t EVENTLOG_ERROR_TYPE = 0x0001;
constexpr uint16_t EVENTLOG_WARNING_TYPE = 0x0002;
constexpr uint16_t EVENTLOG_INFORMATION_TYPE = 0x0004;

// The log file of every event source in our layer.
constexpr char kEventLogName[] = "Application";
std::string EventLogPath();

// Renders a message template: %1 to %9 (each optionally followed by a
// "!s!" printf-style mark) insert the strings, %n is a line break ("\r\n"),
// %% is '%'. A missing string inserts nothing.
std::string RenderEventMessage(const std::string& templateText, const std::vector<std::string>& strings);

// Appends one event. 0, or the errno of the failure.
int ReportEvent(const std::string& source, uint16_t type, uint16_t category, uint32_t eventID,
                const std::string& templateText, const std::vector<std::string>& strings);
