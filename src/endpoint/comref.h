// Local holders for what an operation obtains for itself from the endpoint services: each
// releases, clears or frees on every return path, so no failure leaves a reference behind.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <propidl.h>

template <typename T> class ComRef {
  public:
    ComRef() = default;
    ~ComRef() { reset(); }
    ComRef(const ComRef&) = delete;
    ComRef& operator=(const ComRef&) = delete;

    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }

    // Out-parameter for a call that hands over a reference; drops the one held first.
    T** put() {
        reset();
        return &p_;
    }
    void** putVoid() { return reinterpret_cast<void**>(put()); }

    void reset() {
        if (p_) {
            p_->Release();
            p_ = nullptr;
        }
    }

  private:
    T* p_ = nullptr;
};

// A PROPVARIANT that is cleared whether or not the read that filled it succeeded.
class PropValue {
  public:
    PropValue() { PropVariantInit(&v_); }
    ~PropValue() { PropVariantClear(&v_); }
    PropValue(const PropValue&) = delete;
    PropValue& operator=(const PropValue&) = delete;

    PROPVARIANT* put() { return &v_; }
    const PROPVARIANT& get() const { return v_; }
    // The wide string the value holds, or null for any other type.
    const wchar_t* text() const { return v_.vt == VT_LPWSTR ? v_.pwszVal : nullptr; }

  private:
    PROPVARIANT v_;
};

// A block from the COM task allocator.
template <typename T> class TaskMem {
  public:
    TaskMem() = default;
    ~TaskMem() { CoTaskMemFree(p_); }
    TaskMem(const TaskMem&) = delete;
    TaskMem& operator=(const TaskMem&) = delete;

    T* get() const { return p_; }
    T* operator->() const { return p_; }
    T** put() {
        CoTaskMemFree(p_);
        p_ = nullptr;
        return &p_;
    }

  private:
    T* p_ = nullptr;
};
