// The driver as a host gets it, on the simulated endpoints: vlasio.dll (copied beside the test
// program) loaded with LoadLibrary, its object made by the DLL's own class factory. And what
// both teardown programs check at the end: Wine's heap (run them with WINEDEBUG=warn+heap),
// the simulator's accounting, the DLL's object count.
#pragma once

#include "driver/asio.h"
#include "sim/sim.h"

#include <windows.h>

#include <string>

namespace dll {

// COM (multithreaded, on the calling thread) and the simulated endpoints; false on failure.
bool setUp();
// A new driver object holding one reference, or null.
IASIO* createDriver();
// The DLL's DllCanUnloadNow: S_OK once every object it made is gone.
HRESULT canUnloadNow();
// HeapValidate on every heap of the process; the failures named in *why.
bool heapsValid(std::string* why);
// What is left behind: sim objects, references, task-allocator blocks, driver objects; empty
// when nothing is.
std::string leftovers();
// Milliseconds on the performance counter.
double nowMs();
// Waits up to ms for the thread with this id to end (true when it has, or no longer exists).
bool threadEnded(DWORD id, DWORD ms);

} // namespace dll
