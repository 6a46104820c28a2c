// The probe as an ASIO host: creates a driver through COM, reports what it offers, streams
// through it and reports how the stream went.
#pragma once

#include "options.h"

#include <windows.h>

#include <string>

namespace probe {

// What the probe is doing, for the crash and hang reports: a driver that faults takes the
// process with it, and one that does not return holds it. Every step counts as progress.
extern const char* volatile currentStep;
extern volatile LONG stepCount;

inline void enterStep(const char* step) {
    currentStep = step;
    InterlockedIncrement(&stepCount);
}

// Runs the whole probe against the class `clsid`; `label` names it in the report.
// Returns the exit status: 0 when everything succeeded, 1 otherwise.
int probeDriver(const Options& options, const CLSID& clsid, const std::string& label);

} // namespace probe
