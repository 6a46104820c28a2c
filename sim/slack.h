// The slack recorder and the call counter behind IVlasimMeter (sim/meter.h). The hooks are
// called with State::m held, from the few places that see a stream's periods and buffers.
#pragma once

#include "sim/internal.h"
#include "sim/meter.h"

namespace sim {

void slackCall(const char* op, Flow flow);                          // every call (enter)
void slackPrepare();                                                // once, before any Start
void slackStart(const Stream& s);                                   // first Start of a stream
void slackTick(const Stream& s, uint64_t qpc, UINT32 queuedBefore); // after each tick
void slackRelease(const Stream& s, UINT32 frames);                  // a ReleaseBuffer that took

// The meter's methods.
HRESULT meterStream(UINT32 flow, VlasimStream* out);
HRESULT meterPeriods(UINT32 flow, UINT64 first, UINT32 capacity, VlasimPeriod* out, UINT32* copied);
HRESULT meterCalls(const char* op, UINT32 flow, UINT64* count);

} // namespace sim
