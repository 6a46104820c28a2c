// Buffer sizes offered to the host, derived from what the endpoints grant in exclusive,
// event-driven mode.
#include "driver/ASIOSrv.h"
#include "driver/log.h"
#include "endpoint/platform.h"
#include "endpoint/shared.h"
#include "endpoint/wave.h"

#include <algorithm>

namespace {

constexpr LONGLONG kUnitsPerMs = 10000; // REFERENCE_TIME is in 100-ns units
// The longest buffer of an event-driven exclusive stream.
constexpr LONGLONG kLongestEventBuffer = 500 * kUnitsPerMs;
// How often the largest size is asked for, each time a tenth shorter, before a direction
// counts as granting none.
constexpr int kMaximumTries = 24;

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
    if (granularity) *granularity = -1;
    return measureBufferSizes(minSize, maxSize, preferredSize, ms, granularity);
}

ASIOError ASIOSrv::measureBufferSizes(long* minSize, long* maxSize, long* preferredSize, DWORD ms,
                                      long* granularity) {
    ComRef<IMMDeviceEnumerator> enumerator;
    if (!deviceEnumerator || !queryEnumerator(deviceEnumerator, enumerator)) return ASE_NotPresent;

    ASIOError result = ASE_OK;
    long minimum = 0, preferred = 0, maximum = 0;
    bool measuredMaximum = false;
    // Render first; capture can only raise the figures. A failing direction contributes its
    // error code and nothing else.
    for (int d = kRender; d <= kCapture; ++d) {
        // A shared direction's sizes are its engine's periods (below), asked of no endpoint.
        if (!endpointId[d] || shared[d]) continue;
        ComRef<IUnknown> device;
        REFERENCE_TIME defaultPeriod = 0, minimumPeriod = 0;
        ASIOError failed = endpointPeriods(enumerator.get(), endpointId[d], device, &defaultPeriod,
                                           &minimumPeriod);
        if (failed != ASE_OK) {
            result = failed;
            continue;
        }
        if (minSize) {
            long v = static_cast<long>(alignedFramesForDuration(device.get(), minimumPeriod, d));
            if (d == kRender || v > minimum) minimum = v;
        }
        if (preferredSize) {
            LONGLONG asked = ms != 0 ? static_cast<LONGLONG>(ms) * kUnitsPerMs : defaultPeriod;
            long v = static_cast<long>(alignedFramesForDuration(device.get(), asked, d));
            if (d == kRender || v > preferred) preferred = v;
            if (minSize && minimum > preferred) preferred = minimum;
        }
        if (maxSize) {
            // The largest size this endpoint grants an event-driven stream, found as the
            // minimum is: by asking it, from the longest buffer such a stream may have down.
            long v = 0;
            LONGLONG asked = kLongestEventBuffer;
            for (int i = 0; i < kMaximumTries && v == 0; ++i, asked -= asked / 10)
                v = static_cast<long>(alignedFramesForDuration(device.get(), asked, d));
            // An endpoint that grants no size at all (held by another stream, say) limits
            // nothing, as its 0 loses to the other's minimum.
            if (v > 0 && (!measuredMaximum || v < maximum)) {
                maximum = v;
                measuredMaximum = true;
            }
        }
    }
    // The largest size both endpoints grant; with no endpoint to ask, one second of frames.
    if (!measuredMaximum)
        maximum = static_cast<long>(std::min<uint32_t>(vl::truncatedRate(sampleRate), 0x7FFFFFFF));
    // Shared directions take their engine's periods only, in its own steps.
    limitToSharedPeriods(this, ms, &minimum, &maximum, &preferred, granularity);
    if (minSize) *minSize = minimum;
    if (preferredSize) *preferredSize = preferred;
    if (maxSize) *maxSize = maximum;
    return result;
}

uint32_t ASIOSrv::alignedFramesForDuration(IUnknown* deviceUnknown, LONGLONG duration,
                                           int direction) {
    if (!deviceUnknown) return 0;
    ComRef<IMMDevice> endpoint;
    if (FAILED(deviceUnknown->QueryInterface(__uuidof(IMMDevice), endpoint.putVoid())) || !endpoint)
        return 0;
    ComRef<IAudioClient> client;
    if (!activateClient(endpoint.get(), client)) return 0;

    // The format the direction streams with: a size one format grants may be refused as not
    // aligned in another (480 frames are 3840 bytes in 24-in-32 stereo, 960 in 16-bit mono).
    WAVEFORMATEXTENSIBLE format;
    if (!directionFormat(direction, 0, sampleRate, &format))
        format = toWaveFormat(vl::probeFormat(sampleRate));
    const WAVEFORMATEX& probe = format.Format;
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
        hr = client->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, AUDCLNT_STREAMFLAGS_EVENTCALLBACK,
                                aligned, aligned, &probe, nullptr);
        // An endpoint that rounds durations up to whole frames hears a rounded-up duration as
        // one frame more, not aligned again: the duration truncated lands on the size.
        REFERENCE_TIME truncated = vl::framesToDurationFloor(frames, probe.nSamplesPerSec);
        if (hr == AUDCLNT_E_BUFFER_SIZE_NOT_ALIGNED && truncated != aligned) {
            client.reset();
            if (!activateClient(endpoint.get(), client)) return 0;
            hr = client->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, AUDCLNT_STREAMFLAGS_EVENTCALLBACK,
                                    truncated, truncated, &probe, nullptr);
        }
        if (FAILED(hr)) return 0;
        return frames;
    }
    // Any other outcome: what the client reports (nothing, after a refusal), in steps of 32.
    if (FAILED(client->GetBufferSize(&frames))) return 0;
    return vl::roundUpTo32(frames);
}
