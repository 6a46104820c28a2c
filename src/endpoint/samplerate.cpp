// The driver's one sample rate: reported, tested against the endpoints, changed.
#include "driver/ASIOSrv.h"
#include "driver/log.h"
#include "endpoint/platform.h"
#include "endpoint/wave.h"

namespace {

// Whether one endpoint takes the probe format in exclusive mode. Only S_OK is acceptance:
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

    // Both endpoints are asked with the same 16-bit stereo record, whatever they stream with.
    WAVEFORMATEX probe = toWaveFormat(vl::probeFormat(rate)).Format;
    ASIOError result = ASE_OK;
    if (endpointId[kRender]) result = testEndpoint(enumerator.get(), endpointId[kRender], &probe);
    // A render refusal is final.
    if (endpointId[kCapture] && result == ASE_OK)
        result = testEndpoint(enumerator.get(), endpointId[kCapture], &probe);

    logMessage(this, L"ASIOSrv:::\tcanSampleRate(%f) returns %d", rate, result);
    return result;
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
    // start on. A running stream keeps its format.
    sampleRate = rate;
    return ASE_OK;
}
