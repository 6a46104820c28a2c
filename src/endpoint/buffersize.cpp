// Buffer sizes offered to the host, derived from what the endpoints grant in exclusive,
// event-driven mode, in the formats start opens them with.
#include "driver/ASIOSrv.h"
#include "driver/log.h"
#include "endpoint/platform.h"
#include "endpoint/shared.h"
#include "endpoint/wave.h"

#include <algorithm>
#include <iterator>

namespace {

constexpr LONGLONG kUnitsPerMs = 10000; // REFERENCE_TIME is in 100-ns units
// The longest buffer of an event-driven exclusive stream.
constexpr LONGLONG kLongestEventBuffer = 500 * kUnitsPerMs;
// How often the largest size is asked for, each time a tenth shorter, before a direction
// counts as granting none.
constexpr int kMaximumTries = 24;
// How often a size is moved up to what a direction suggests before it counts as none.
constexpr int kSettleTries = 16;
// Sizes are offered in steps of 32 frames, or of a multiple of 32 up to this where the
// endpoints align buffers more coarsely.
constexpr uint32_t kGridStep = 32;
constexpr uint32_t kCoarsestStep = 8 * kGridStep;

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

// Refusals that say the size (or the format) is wrong; any other failure says the endpoint
// cannot be asked now.
bool refusesSize(HRESULT hr) {
    return hr == AUDCLNT_E_BUFFER_SIZE_NOT_ALIGNED || hr == AUDCLNT_E_INVALID_DEVICE_PERIOD ||
           hr == AUDCLNT_E_BUFFER_SIZE_ERROR || hr == AUDCLNT_E_BUFDURATION_PERIOD_NOT_EQUAL ||
           hr == AUDCLNT_E_UNSUPPORTED_FORMAT || hr == E_INVALIDARG;
}

} // namespace

ASIOSrv::Grant openForFrames(IMMDevice* endpoint, const WAVEFORMATEX* format, uint32_t frames,
                             DWORD flags, ComRef<IAudioClient>* opened) {
    const uint32_t rate = format->nSamplesPerSec;
    const REFERENCE_TIME durations[2] = {vl::framesToDuration(frames, rate),
                                         vl::framesToDurationFloor(frames, rate)};
    ComRef<IAudioClient> local;
    ComRef<IAudioClient>& client = opened ? *opened : local;
    ASIOSrv::Grant answer = ASIOSrv::Grant::No;
    for (REFERENCE_TIME duration : durations) {
        if (!activateClient(endpoint, client)) return ASIOSrv::Grant::Unknown;
        HRESULT hr = client->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, flags, duration, duration,
                                        format, nullptr);
        UINT32 granted = 0;
        if (hr == AUDCLNT_E_BUFFER_SIZE_NOT_ALIGNED && duration != durations[1]) continue;
        if (FAILED(hr)) {
            answer = refusesSize(hr) ? ASIOSrv::Grant::No : ASIOSrv::Grant::Unknown;
            break;
        }
        if (FAILED(client->GetBufferSize(&granted))) {
            answer = ASIOSrv::Grant::Unknown;
            break;
        }
        if (granted == frames) return ASIOSrv::Grant::Yes;
        if (duration == durations[1]) break;
    }
    client.reset();
    return answer;
}

namespace {

// One direction of a plan, as the sizing asks it.
struct PlannedEndpoint {
    ComRef<IUnknown> device;
    WAVEFORMATEXTENSIBLE format = {};
    DWORD flags = 0;
    REFERENCE_TIME defaultPeriod = 0, minimumPeriod = 0;
    bool live = false; // it grants some size: it takes part in the joint answers
};

ASIOSrv::Grant grantsFrames(const PlannedEndpoint& p, uint32_t frames) {
    ComRef<IMMDevice> endpoint;
    if (FAILED(p.device->QueryInterface(__uuidof(IMMDevice), endpoint.putVoid())) || !endpoint)
        return ASIOSrv::Grant::Unknown;
    return openForFrames(endpoint.get(), &p.format.Format, frames, p.flags, nullptr);
}

// The smallest size from `frames` up that every live direction grants, moving up to what a
// refusing direction suggests; 0 when none is found.
uint32_t settleUp(ASIOSrv* self, PlannedEndpoint (&dirs)[2], uint32_t frames) {
    for (int round = 0; round < kSettleTries && frames > 0; ++round) {
        uint32_t next = frames;
        for (PlannedEndpoint& p : dirs) {
            if (!p.live || grantsFrames(p, frames) != ASIOSrv::Grant::No) continue;
            uint32_t s = self->alignedFramesForDuration(
                p.device.get(), vl::framesToDurationFloor(frames, p.format.Format.nSamplesPerSec),
                &p.format.Format);
            next = std::max(next, s > frames ? s : vl::roundUpTo32(frames + 1));
        }
        if (next == frames) return frames;
        frames = next;
    }
    return 0;
}

// The largest size from `frames` down, no smaller than `floor`, that every live direction
// grants: `frames` itself, else it cut to a multiple of 32, 64, 128 ... frames, which
// endpoints that align buffers to a power of two bytes come to grant.
uint32_t settleDown(PlannedEndpoint (&dirs)[2], uint32_t frames, uint32_t floor) {
    uint32_t tried = 0;
    for (uint32_t step = 1; step && frames >= step; step = step == 1 ? 32 : step * 2) {
        uint32_t candidate = frames / step * step;
        if (candidate < floor) break;
        if (candidate == tried) continue;
        tried = candidate;
        bool all = true;
        for (PlannedEndpoint& p : dirs)
            all = all && (!p.live || grantsFrames(p, candidate) != ASIOSrv::Grant::No);
        if (all) return candidate;
    }
    return floor;
}

// The step of the sizes offered: 32 frames, or the smallest multiple of it on which every live
// direction's alignment lands (64 frames for 16-bit mono on 128-byte alignment). The minimum
// moves up onto it, the maximum down, the preferred size up. Endpoints grant every aligned
// size between their shortest and longest buffer, and the aligned sizes are the multiples of
// one count of frames; so where the grid's first two sizes start, that count divides the step
// and every size of the grid starts. The preferred and largest sizes are asked as well.
// `granted` lists sizes found to start already. Returns 0, with all three sizes made the
// preferred one, when no step fits, and 0 where the grid holds one size.
uint32_t gridStep(PlannedEndpoint (&dirs)[2], uint32_t* minimum, uint32_t* maximum,
                  uint32_t* preferred, const uint32_t (&granted)[3]) {
    auto starts = [&](uint32_t frames) {
        if (std::find(std::begin(granted), std::end(granted), frames) != std::end(granted))
            return true;
        for (PlannedEndpoint& p : dirs)
            if (p.live && grantsFrames(p, frames) == ASIOSrv::Grant::No) return false;
        return true;
    };
    for (uint32_t step = kGridStep; step <= kCoarsestStep; step += kGridStep) {
        const uint32_t lo = (*minimum + step - 1) / step * step, hi = *maximum / step * step;
        if (lo > hi) continue;
        const uint32_t pick = std::min(std::max((*preferred + step - 1) / step * step, lo), hi);
        if (starts(lo) && starts(std::min(lo + step, hi)) && starts(pick) && starts(hi)) {
            *minimum = lo;
            *maximum = hi;
            *preferred = pick;
            return lo < hi ? step : 0;
        }
    }
    *minimum = *maximum = *preferred;
    return 0;
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
    ControlLock lock(this);
    ASIOError result = ASE_OK;
    long minimum = 0, maximum = 0, preferred = 0, step = 0;
    if (!endpointsHeld()) {
        result = measureBufferSizes(queryPlan(), &minimum, &maximum, &preferred, &step, ms);
        offeredSizes = {true, ms, minimum, maximum, preferred, step};
    } else if (offeredSizes.known) {
        // The running stream holds the endpoints: the sizes found before it started, and a
        // changed preferred length as the stream's own format aligns it, on their grid.
        minimum = offeredSizes.minimum;
        maximum = offeredSizes.maximum;
        preferred = offeredSizes.preferred;
        step = offeredSizes.granularity;
        if (ms != offeredSizes.ms && minimum > 0) {
            uint32_t frameBytes[2] = {};
            for (int d = kRender; d <= kCapture; ++d)
                if (audioClient[d])
                    frameBytes[d] = (sampleType[d] == ASIOSTInt32LSB ? 4u : 2u) * channelCount[d];
            long v = ms ? long(vl::streamFramesForDuration(LONGLONG(ms) * kUnitsPerMs,
                                                          vl::truncatedRate(sampleRate),
                                                          frameBytes[kRender],
                                                          frameBytes[kCapture]))
                        : preferred;
            if (step > 0) {
                if (v > minimum) v = minimum + (v - minimum + step - 1) / step * step;
                preferred = std::min(std::max(v, minimum), maximum);
            }
            // A shared direction's: the period nearest the new length, as measured.
            limitToSharedPeriods(this, ms, &minimum, &maximum, &preferred, &step);
        }
    } else {
        // Nothing was asked before the stream started: the size it streams with.
        minimum = maximum = preferred = bufferFrames;
    }
    if (granularity) *granularity = step;
    if (minSize) *minSize = minimum;
    if (maxSize) *maxSize = maximum;
    if (preferredSize) *preferredSize = preferred;
    return result;
}

ASIOError ASIOSrv::measureBufferSizes(const StreamPlan& plan, long* minSize, long* maxSize,
                                      long* preferredSize, long* granularity, DWORD ms) {
    ComRef<IMMDeviceEnumerator> enumerator;
    if (!deviceEnumerator || !queryEnumerator(deviceEnumerator, enumerator)) return ASE_NotPresent;

    ASIOError result = ASE_OK;
    PlannedEndpoint dirs[2];
    uint32_t minimum = 0, preferred = 0, maximum = 0;
    bool measuredMaximum = false;
    // Each direction's own figures first, in the format start opens it with. A failing
    // direction contributes its error code and nothing else.
    for (int d = kRender; d <= kCapture; ++d) {
        PlannedEndpoint& p = dirs[d];
        // A shared direction's sizes are its engine's periods (below), asked of no endpoint.
        if (!endpointId[d] || !plan.channels[d] || shared[d]) continue;
        ASIOError failed = endpointPeriods(enumerator.get(), endpointId[d], p.device,
                                           &p.defaultPeriod, &p.minimumPeriod);
        if (failed != ASE_OK) {
            result = failed;
            continue;
        }
        if (!planFormat(d, plan, &p.format)) continue;
        p.flags = streamFlags(d, plan);
        const WAVEFORMATEX* format = &p.format.Format;
        uint32_t v = alignedFramesForDuration(p.device.get(), p.minimumPeriod, format);
        // An endpoint that grants no size at all (held by another stream, say) limits nothing.
        if (v == 0) continue;
        p.live = true;
        minimum = std::max(minimum, v);
        LONGLONG asked = ms != 0 ? static_cast<LONGLONG>(ms) * kUnitsPerMs : p.defaultPeriod;
        preferred = std::max(preferred, alignedFramesForDuration(p.device.get(), asked, format));
        // The largest size this endpoint grants an event-driven stream, found as the minimum
        // is: by asking it, from the longest buffer such a stream may have down.
        v = 0;
        asked = kLongestEventBuffer;
        for (int i = 0; i < kMaximumTries && v == 0; ++i, asked -= asked / 10)
            v = alignedFramesForDuration(p.device.get(), asked, format);
        if (v > 0 && (!measuredMaximum || v < maximum)) {
            maximum = v;
            measuredMaximum = true;
        }
    }
    // Then sizes every direction grants: a size one grants may be refused as not aligned by
    // another, and the host opens them together.
    // With no endpoint to ask, the largest size is one second of frames.
    if (!measuredMaximum) maximum = std::min<uint32_t>(vl::truncatedRate(sampleRate), 0x7FFFFFFF);
    if (minimum) minimum = settleUp(this, dirs, minimum);
    if (measuredMaximum && minimum) maximum = settleDown(dirs, maximum, minimum);
    uint32_t step = 0;
    if (minimum) {
        uint32_t v = settleUp(this, dirs, std::max(preferred, minimum));
        preferred = v && v <= maximum ? v : v ? maximum : minimum;
        // Every size of a grid through those, as hosts round a request to the step.
        const uint32_t granted[3] = {minimum, preferred, measuredMaximum ? maximum : minimum};
        step = gridStep(dirs, &minimum, &maximum, &preferred, granted);
    } else {
        preferred = 0;
    }
    // Shared directions take their engine's periods only, within what the others grant.
    long lo = long(minimum), hi = long(maximum), pick = long(preferred), by = long(step);
    limitToSharedPeriods(this, ms, &lo, &hi, &pick, &by);
    if (minSize) *minSize = lo;
    if (preferredSize) *preferredSize = pick;
    if (maxSize) *maxSize = hi;
    if (granularity) *granularity = by;
    return result;
}

ASIOSrv::Grant ASIOSrv::sizeStarts(const StreamPlan& plan, uint32_t frames) {
    ComRef<IMMDeviceEnumerator> enumerator;
    if (!frames || !deviceEnumerator || !queryEnumerator(deviceEnumerator, enumerator))
        return Grant::Unknown;
    Grant answer = Grant::Unknown;
    for (int d = kRender; d <= kCapture; ++d) {
        if (!plan.channels[d] || !endpointId[d]) continue;
        // A shared stream takes the engine's periods and no other size.
        if (shared[d]) {
            if (!vl::isEnginePeriod(sharedPeriods(this, d), frames)) return Grant::No;
            answer = Grant::Yes;
            continue;
        }
        ComRef<IMMDevice> endpoint;
        WAVEFORMATEXTENSIBLE format;
        if (!planFormat(d, plan, &format)) return Grant::No;
        if (!openEndpoint(enumerator.get(), endpointId[d], endpoint)) continue;
        Grant g = openForFrames(endpoint.get(), &format.Format, frames, streamFlags(d, plan), nullptr);
        if (g == Grant::No) return g;
        if (g == Grant::Yes) answer = g;
    }
    return answer;
}

DWORD ASIOSrv::streamFlags(int direction, const StreamPlan& plan) const {
    // Timer-driven capture beside render is polled: no event.
    return direction == kCapture && timerDriven() && plan.channels[kRender] && endpointId[kRender]
               ? 0
               : AUDCLNT_STREAMFLAGS_EVENTCALLBACK;
}

uint32_t ASIOSrv::alignedFramesForDuration(IUnknown* deviceUnknown, LONGLONG duration,
                                           const WAVEFORMATEX* format) {
    if (!deviceUnknown || !format) return 0;
    ComRef<IMMDevice> endpoint;
    if (FAILED(deviceUnknown->QueryInterface(__uuidof(IMMDevice), endpoint.putVoid())) || !endpoint)
        return 0;
    ComRef<IAudioClient> client;
    if (!activateClient(endpoint.get(), client)) return 0;

    // Asked in the format the direction streams with: a size one format grants may be refused
    // as not aligned in another (480 frames are 3840 bytes in 24-in-32 stereo, 960 in 16-bit
    // mono).
    const WAVEFORMATEX& probe = *format;
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
