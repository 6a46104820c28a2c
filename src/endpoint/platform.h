// The steps of the endpoint services that several operations share. The enumerator and the
// devices are kept as IUnknown; each use asks for the working interface afresh.
#pragma once

#include "driver/ASIOSrv.h"
#include "endpoint/comref.h"

// The property keys are defined once, in guids.cpp; the interface identifiers come with
// __uuidof.
#include <mmdeviceapi.h>
#include <audioclient.h>
#include <functiondiscoverykeys_devpkey.h>

// True when the enumerator answers IMMDeviceEnumerator; a reference that comes back with a
// failure is released too.
inline bool queryEnumerator(IUnknown* held, ComRef<IMMDeviceEnumerator>& out) {
    HRESULT hr = held->QueryInterface(__uuidof(IMMDeviceEnumerator), out.putVoid());
    if (FAILED(hr) || !out) {
        out.reset();
        return false;
    }
    return true;
}

// The endpoint a stored ID names; false on failure or when none comes back.
inline bool openEndpoint(IMMDeviceEnumerator* enumerator, const wchar_t* id,
                         ComRef<IMMDevice>& out) {
    HRESULT hr = enumerator->GetDevice(id, out.put());
    if (FAILED(hr) || !out) {
        out.reset();
        return false;
    }
    return true;
}

// A new, uninitialised audio client on the endpoint.
inline bool activateClient(IMMDevice* device, ComRef<IAudioClient>& out) {
    HRESULT hr = device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, out.putVoid());
    if (FAILED(hr) || !out) {
        out.reset();
        return false;
    }
    return true;
}

// The endpoint's property store, opened for reading.
inline bool openProperties(IMMDevice* device, ComRef<IPropertyStore>& out) {
    HRESULT hr = device->OpenPropertyStore(STGM_READ, out.put());
    if (FAILED(hr) || !out) {
        out.reset();
        return false;
    }
    return true;
}

// The name Windows shows for a device (its friendly name), else its description; empty when
// it has neither. Written into chars characters, cut and always terminated.
void readDeviceName(IMMDevice* device, wchar_t* name, size_t chars);

// What a direction's endpoint adds to a stream of bufferFrames, in frames: the running
// client's stream latency, or that of one opened as start would open it; 0 when it will not
// say.
long endpointLatency(ASIOSrv* self, int direction);

// A process loopback client, uninitialised, that hears every program but this process's tree
// ("what other programs play"), activated through ActivateAudioInterfaceAsync of the module
// that implements the device enumerator; the refusal when Windows offers none (before
// Windows 10 build 20348: E_NOTIMPL or an activation error).
HRESULT activateOtherPrograms(IUnknown* deviceEnumerator, ComRef<IAudioClient>& client);

// Opens a client on an endpoint for a stream of `frames` as start does: exclusive, the
// single-precision duration, or, where the endpoint grants a frame more for it (or refuses it
// as not aligned, having heard a frame more), the truncated one. Yes when it grants exactly that size (the client, initialised, goes to *opened when
// given), No when it refuses the size or the format, Unknown when it cannot be asked.
ASIOSrv::Grant openForFrames(IMMDevice* endpoint, const WAVEFORMATEX* format, uint32_t frames,
                             DWORD flags, ComRef<IAudioClient>* opened);

// Puts an endpoint's refusal into getErrorMessage's text: "<device>: <what to do> (<code>)",
// within the 123 characters hosts show. The device's name (cut at a whole character) and what
// to do come first; the code goes where it still fits, as the log has it anyway.
void explainRefusal(ASIOSrv* self, IMMDevice* endpoint, HRESULT hr);
