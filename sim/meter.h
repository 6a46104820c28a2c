// What the simulated endpoint service measures of its clients, readable through COM by a
// program that links nothing of it (a host in the same process as the driver, say).
//
// The simulator's device enumerator answers QueryInterface for IVlasimMeter; a real
// system's enumerator does not, which is how a program tells the two apart:
//
//   IMMDeviceEnumerator* e;  CoCreateInstance(CLSID_MMDeviceEnumerator, ..., &e);
//   IVlasimMeter* m;  if (SUCCEEDED(e->QueryInterface(IID_IVlasimMeter, (void**)&m))) ...
//
// Times are QueryPerformanceCounter values of the process. Figures describe the latest
// stream started on each endpoint, as sim::stats() does; they stay readable after it stops.
#pragma once

#include <windows.h>
#include <unknwn.h>

// {6C1B7E52-3F0A-4D8E-9B47-25A0D1C3E8F6}
static const IID IID_IVlasimMeter = {
    0x6c1b7e52, 0x3f0a, 0x4d8e, {0x9b, 0x47, 0x25, 0xa0, 0xd1, 0xc3, 0xe8, 0xf6}};

// One period of a stream, and when the client's buffer for it arrived.
//  Render: the frames that the tick `deadline` plays; `release` is the ReleaseBuffer that
//  completed them (for a missed period, the late one that brought them after the tick).
//  Capture: the packet of one tick; `deadline` is the tick that would overwrite it (the
//  buffer holds buffer / period packets), `release` the client's ReleaseBuffer of it (for
//  a packet dropped unread, the client's next release).
// Slack = deadline - release; negative exactly for a missed render period or a late or
// dropped capture packet.
struct VlasimPeriod {
    UINT64 tick;     // the deadline's tick number since the stream started (1 = first)
    INT64 event;     // the tick before the client's first call for this period (0: none)
    INT64 firstCall; // the client's first call on this endpoint after that tick
    INT64 release;
    INT64 deadline;
};

struct VlasimStream {
    UINT32 periodFrames; // frames per tick
    UINT32 rate;         // frames per second
    UINT64 periods;      // ticks while running
    UINT64 recorded;     // VlasimPeriod records kept (at most 1 << 18)
    // Periods by which the simulator's own clock thread, running late, put its ticks off
    // (rounded up): a host sees these as lost periods that no client caused.
    UINT64 slippedPeriods;
};

struct IVlasimMeter : public IUnknown {
    // flow: 0 render, 1 capture. S_FALSE (and zeros) when no stream has started there.
    virtual HRESULT STDMETHODCALLTYPE GetStream(UINT32 flow, VlasimStream* out) = 0;
    // Copies records first .. first + capacity - 1 (fewer when there are fewer).
    virtual HRESULT STDMETHODCALLTYPE GetPeriods(UINT32 flow, UINT64 first, UINT32 capacity,
                                                 VlasimPeriod* out, UINT32* copied) = 0;
    // Calls of one method ("IAudioRenderClient::GetBuffer") since the service was loaded,
    // faulted ones included; "*" counts every method. flow 0 render, 1 capture, 2 both
    // (calls without a direction, such as the enumerator's, count under render).
    virtual HRESULT STDMETHODCALLTYPE GetCalls(const char* op, UINT32 flow, UINT64* count) = 0;
};
