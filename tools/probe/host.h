// The probe as an ASIO host: creates a driver through COM, reports what it offers, streams
// through it and reports how the stream went.
#pragma once

#include "options.h"

#include <windows.h>

#include <string>

namespace probe {

// What the probe was doing, for the crash report: a driver that faults takes the process.
extern const char* volatile currentStep;

// Runs the whole probe against the class `clsid`; `label` names it in the report.
// Returns the exit status: 0 when everything succeeded, 1 otherwise.
int probeDriver(const Options& options, const CLSID& clsid, const std::string& label);

} // namespace probe
