// The driver's one sample rate: reported, tested against the endpoints, changed.
#include "driver/ASIOSrv.h"
#include "driver/log.h"
#include "endpoint/platform.h"
#include "endpoint/shared.h"
#include "endpoint/wave.h"

namespace {

// Whether one endpoint takes a format in exclusive mode. Only S_OK is acceptance:
// S_FALSE would mean "a closest match exists", which nobody asked for.
ASIOError testEndpoint(IMMDeviceEnumerator* enumerator, const wchar_t* id,
                       const WAVEFORMATEX* probe) {
    ComRef<IMMDevice> endpoint;
    if (!openEndpoint(enumerator, id, endpoint)) return ASE_NotPresent;
    ComRef<IAudioClient> client;
    if (!activateClient(endpoint.get(), client)) return ASE_InvalidMode;
    HRESULT hr = client->IsFormatSupported(AUDCLNT_SHAREMODE_EXCLUSIVE, probe, nullptr);
    if (hr == S_OK) return ASE_OK;
    if (hr == AUDCLNT_E_UNSUPPORTED_FORMAT) return ASE_NoClock;
    return ASE_InvalidParameter;
}

} // namespace

ASIOError ASIOSrv::canSampleRate(ASIOSampleRate rate) {
    if (!deviceEnumerator) return ASE_NotPresent;
    ComRef<IMMDeviceEnumerator> enumerator;
    if (!queryEnumerator(deviceEnumerator, enumerator)) return ASE_NotPresent;

    ControlLock lock(this);
    ASIOError result = ASE_OK;
    // Each endpoint is asked with the format it would stream with: a mono microphone or an
    // 8-channel output takes no 16-bit stereo record at any rate. The rate a stream runs at
    // is its own answer.
    const StreamPlan plan = queryPlan();
    const bool running = endpointsHeld() && rate > 0 &&
                         vl::truncatedRate(rate) == vl::truncatedRate(sampleRate);
    for (int d = kRender; d <= kCapture && result == ASE_OK && !running; ++d) {
        WAVEFORMATEXTENSIBLE format; // a render refusal is final
        if (!endpointId[d]) continue;
        // A shared stream runs at the engine's rate, or at a usual one through its converter.
        if (shared[d]) {
            if (vl::truncatedRate(rate) != sharedEndpoint[d].mix.Format.nSamplesPerSec &&
                !vl::isConvertibleRate(vl::truncatedRate(rate)))
                result = ASE_NoClock;
            continue;
        }
        if (!directionFormat(d, plan.channels[d], rate, &format))
            format = toWaveFormat(vl::probeFormat(rate));
        result = testEndpoint(enumerator.get(), endpointId[d], &format.Format);
    }

    logMessage(this, L"ASIOSrv:::\tcanSampleRate(%f) returns %d", rate, result);
    return result;
}

bool ASIOSrv::directionFormat(int direction, unsigned channels, double rate,
                              WAVEFORMATEXTENSIBLE* format) const {
    return makeStreamFormat(sampleType[direction],
                            uint16_t(vl::streamChannels(deviceChannels[direction], channels)), rate,
                            format);
}

ASIOSrv::StreamPlan ASIOSrv::bufferPlan() const {
    StreamPlan plan;
    for (int d = kRender; d <= kCapture; ++d)
        for (unsigned c = 0; c < firstDeviceChannels(d); ++c)
            if (asioBuffers[d][c]) plan.channels[d] = c + 1;
    return plan;
}

ASIOSrv::StreamPlan ASIOSrv::queryPlan() const {
    StreamPlan plan = bufferPlan();
    for (int d = kRender; d <= kCapture; ++d)
        if (endpointId[d] && plan.channels[d] < deviceChannels[d])
            plan.channels[d] = deviceChannels[d];
    return plan;
}

bool ASIOSrv::planFormat(int direction, const StreamPlan& plan,
                         WAVEFORMATEXTENSIBLE* format) const {
    return directionFormat(direction, plan.channels[direction], sampleRate, format);
}

ASIOError ASIOSrv::getSampleRate(ASIOSampleRate* rate) {
    if (!rate) return ASE_InvalidParameter;
    *rate = sampleRate;
    logMessage(this, L"ASIOSrv:::\tgetSampleRate() reports %f", sampleRate);
    return ASE_OK;
}

ASIOError ASIOSrv::setSampleRate(ASIOSampleRate rate) {
    ASIOError result = static_cast<IASIO*>(this)->canSampleRate(rate);
    logMessage(this, L"ASIOSrv::setSampleRate(%f)...", rate);
    if (result != ASE_OK) return result;
    // Kept as the host gave it; the endpoints are opened at its integer part from the next
    // start on. A running stream keeps its format. Sizes found at another rate are stale.
    ControlLock lock(this);
    if (vl::truncatedRate(rate) != vl::truncatedRate(sampleRate)) offeredSizes = {};
    sampleRate = rate;
    return ASE_OK;
}
