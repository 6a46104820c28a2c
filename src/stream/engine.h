// What the streaming engine's own files share.
#pragma once

#include "driver/ASIOSrv.h"
#include "endpoint/comref.h"

#include <cstddef>

// Allocator of the host's buffer blocks (malloc); a test may replace it to make an
// allocation fail. Blocks are freed with free().
extern void* (*blockAllocator)(size_t bytes);

// Asks the host, through asioMessage, whether it takes time information with its switches.
bool hostTakesTimeInfo(const ASIOCallbacks& callbacks);

// How long stop waits for the streaming thread.
constexpr DWORD kThreadWaitMs = 2000;

// Asks a held IUnknown for a working interface: a new reference, or none.
template <typename T> HRESULT queryFrom(IUnknown* from, ComRef<T>& to) {
    if (!from) return E_POINTER;
    return from->QueryInterface(__uuidof(T), to.putVoid());
}
