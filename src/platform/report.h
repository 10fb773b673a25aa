// Lines the platform layer reports on its own account (what the start-up's
// clean-up removed, say). The platform cannot call the log, which lies above
// it: the log installs itself here, and until it does the lines go to
// standard error. Platform layer.
#pragma once

// errorFlag as the log call's: set where a system call failed (errno holds its code).
using PlatformReportFunction = void (*)(int errorFlag, const char* text);

// Installs the receiver of the reports (null: standard error again).
void SetPlatformReportFunction(PlatformReportFunction fn);

// Hands one line to the receiver. `text` is never used as a format.
void PlatformReport(int errorFlag, const char* text);
