// What the streaming engine's own files share: a holder for local COM references, the
// allocator of buffer blocks, and the wait that collects a streaming thread.
#pragma once

#include "driver/ASIOSrv.h"

#include <cstddef>

// Allocator of the host's buffer blocks (malloc); a test may replace it to make an
// allocation fail. Blocks are freed with free().
extern void* (*blockAllocator)(size_t bytes);

// Asks the host, through asioMessage, whether it takes time information with its switches.
bool hostTakesTimeInfo(const ASIOCallbacks& callbacks);

// How long stop waits for the streaming thread.
constexpr DWORD kThreadWaitMs = 2000;

// One reference on an interface, released when the holder goes out of scope.
template <typename T> class ComRef {
  public:
    ComRef() = default;
    ComRef(const ComRef&) = delete;
    ComRef& operator=(const ComRef&) = delete;
    ~ComRef() { reset(); }

    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // The out-parameter slot of a call that yields a new reference.
    T** put() {
        reset();
        return &p_;
    }
    void** putVoid() { return reinterpret_cast<void**>(put()); }
    void reset() {
        if (p_) p_->Release();
        p_ = nullptr;
    }
    // Hands the reference over to the caller.
    T* detach() {
        T* p = p_;
        p_ = nullptr;
        return p;
    }

  private:
    T* p_ = nullptr;
};

// Asks a held IUnknown for a working interface: a new reference, or none.
template <typename T> HRESULT queryFrom(IUnknown* from, ComRef<T>& to) {
    if (!from) return E_POINTER;
    return from->QueryInterface(__uuidof(T), to.putVoid());
}
