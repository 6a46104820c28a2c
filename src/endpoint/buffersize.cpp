// Buffer sizes offered to the host, derived from what the endpoints grant in exclusive,
// event-driven mode.
#include "driver/ASIOSrv.h"
#include "driver/log.h"
#include "endpoint/platform.h"
#include "endpoint/wave.h"

#include <algorithm>

namespace {

constexpr LONGLONG kUnitsPerMs = 10000; // REFERENCE_TIME is in 100-ns units

// The periods of one endpoint, and the endpoint as IUnknown for alignedFramesForDuration.
// Returns ASE_OK, or the code of the step that failed.
ASIOError endpointPeriods(IMMDeviceEnumerator* enumerator, const wchar_t* id,
                          ComRef<IUnknown>& device, REFERENCE_TIME* defaultPeriod,
                          REFERENCE_TIME* minimumPeriod) {
    ComRef<IMMDevice> endpoint;
    if (!openEndpoint(enumerator, id, endpoint)) return ASE_NotPresent;
    {
        // This client only answers the period query.
        ComRef<IAudioClient> client;
        if (!activateClient(endpoint.get(), client) ||
            FAILED(client->GetDevicePeriod(defaultPeriod, minimumPeriod)))
            return ASE_InvalidMode;
    }
    if (FAILED(endpoint->QueryInterface(IID_IUnknown, device.putVoid())) || !device) {
        device.reset();
        return ASE_InvalidMode;
    }
    return ASE_OK;
}

} // namespace

ASIOError ASIOSrv::getBufferSize(long* minSize, long* maxSize, long* preferredSize,
                                 long* granularity) {
    if (!deviceEnumerator) return ASE_NotPresent;
    writeLogLine(this, L"ASIOSrv::getBufferSize...");

    // Read at every call: the control panel may have changed it since.
    DWORD ms = 0;
    LONG status = readSetting(L"DefaultSizeInMS", RRF_RT_DWORD, &ms);
    logMessage(this, L"ASIOSrv:::\tDefault size : %d ms (%d)", ms, status);

    ComRef<IMMDeviceEnumerator> enumerator;
    if (!queryEnumerator(deviceEnumerator, enumerator)) return ASE_NotPresent;
    ASIOError result = measureBufferSizes(minSize, preferredSize, ms);
    // One second of frames at the current rate.
    if (maxSize)
        *maxSize = static_cast<long>(std::min<uint32_t>(vl::truncatedRate(sampleRate), 0x7FFFFFFF));
    if (granularity) *granularity = -1;
    return result;
}

ASIOError ASIOSrv::measureBufferSizes(long* minSize, long* preferredSize, DWORD ms) {
    ComRef<IMMDeviceEnumerator> enumerator;
    if (!deviceEnumerator || !queryEnumerator(deviceEnumerator, enumerator)) return ASE_NotPresent;

    ASIOError result = ASE_OK;
    long minimum = 0, preferred = 0;
    // Render first; capture can only raise the figures. A failing direction contributes its
    // error code and nothing else.
    for (int d = kRender; d <= kCapture; ++d) {
        if (!endpointId[d]) continue;
        ComRef<IUnknown> device;
        REFERENCE_TIME defaultPeriod = 0, minimumPeriod = 0;
        ASIOError failed = endpointPeriods(enumerator.get(), endpointId[d], device, &defaultPeriod,
                                           &minimumPeriod);
        if (failed != ASE_OK) {
            result = failed;
            continue;
        }
        if (minSize) {
            long v = static_cast<long>(alignedFramesForDuration(device.get(), minimumPeriod));
            if (d == kRender || v > minimum) minimum = v;
        }
        if (preferredSize) {
            LONGLONG asked = ms != 0 ? static_cast<LONGLONG>(ms) * kUnitsPerMs : defaultPeriod;
            long v = static_cast<long>(alignedFramesForDuration(device.get(), asked));
            if (d == kRender || v > preferred) preferred = v;
            if (minSize && minimum > preferred) preferred = minimum;
        }
    }
    if (minSize) *minSize = minimum;
    if (preferredSize) *preferredSize = preferred;
    return result;
}

uint32_t ASIOSrv::alignedFramesForDuration(IUnknown* deviceUnknown, LONGLONG duration) {
    if (!deviceUnknown) return 0;
    ComRef<IMMDevice> endpoint;
    if (FAILED(deviceUnknown->QueryInterface(__uuidof(IMMDevice), endpoint.putVoid())) || !endpoint)
        return 0;
    ComRef<IAudioClient> client;
    if (!activateClient(endpoint.get(), client)) return 0;

    WAVEFORMATEX probe = toWaveFormat(vl::probeFormat(sampleRate)).Format;
    HRESULT hr = client->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, AUDCLNT_STREAMFLAGS_EVENTCALLBACK,
                                    duration, duration, &probe, nullptr);
    UINT32 frames = 0;
    if (hr == AUDCLNT_E_BUFFER_SIZE_NOT_ALIGNED) {
        // The refused client tells the next aligned size; a fresh client confirms that the
        // endpoint takes it. The duration is computed in single precision, as endpoints are
        // asked in practice, so that it lands on the aligned size.
        if (FAILED(client->GetBufferSize(&frames))) return 0;
        client.reset();
        REFERENCE_TIME aligned = vl::framesToDuration(frames, probe.nSamplesPerSec);
        if (!activateClient(endpoint.get(), client)) return 0;
        if (FAILED(client->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE,
                                      AUDCLNT_STREAMFLAGS_EVENTCALLBACK, aligned, aligned, &probe,
                                      nullptr)))
            return 0;
        return frames;
    }
    // Any other outcome: what the client reports (nothing, after a refusal), in steps of 32.
    if (FAILED(client->GetBufferSize(&frames))) return 0;
    return vl::roundUpTo32(frames);
}
