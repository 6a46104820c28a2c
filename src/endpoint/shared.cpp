// Shared mode: the choice per direction, the sizes, and opening a shared stream.
#include "endpoint/shared.h"

#include "driver/log.h"
#include "endpoint/refusal.h"
#include "endpoint/wave.h"

#include <ks.h>
#include <ksmedia.h>

#include <cstring>
#include <cwchar>

const wchar_t kStreamModeSetting[] = L"StreamMode";

StreamMode readStreamMode() {
    wchar_t text[32];
    readTextSetting(kStreamModeSetting, text, 32);
    if (_wcsicmp(text, L"Exclusive") == 0) return StreamMode::Exclusive;
    if (_wcsicmp(text, L"Shared") == 0) return StreamMode::Shared;
    return StreamMode::Automatic;
}

namespace {

const wchar_t* const kStreamName[2] = {L"Render", L"Capture"};

// The engine mixes in 32-bit floats on every current Windows; only that is converted.
bool isFloatMix(const WAVEFORMATEX* f) {
    if (f->wBitsPerSample != 32 || f->nChannels == 0) return false;
    if (f->wFormatTag == WAVE_FORMAT_IEEE_FLOAT) return true;
    return f->wFormatTag == WAVE_FORMAT_EXTENSIBLE &&
           f->cbSize >= sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX) &&
           IsEqualGUID(reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(f)->SubFormat,
                       KSDATAFORMAT_SUBTYPE_IEEE_FLOAT);
}

} // namespace

HRESULT probeShared(IMMDevice* endpoint, SharedEndpoint* out) {
    *out = {};
    ComRef<IAudioClient> client;
    TaskMem<WAVEFORMATEX> mix;
    HRESULT hr = endpoint->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, client.putVoid());
    if (FAILED(hr) || !client) return FAILED(hr) ? hr : E_POINTER;
    hr = client->GetMixFormat(mix.put());
    if (FAILED(hr) || !mix.get()) return FAILED(hr) ? hr : E_POINTER;
    if (!isFloatMix(mix.get())) return AUDCLNT_E_UNSUPPORTED_FORMAT;
    size_t bytes = sizeof(WAVEFORMATEX) + mix->cbSize;
    std::memcpy(&out->mix, mix.get(), bytes < sizeof out->mix ? bytes : sizeof out->mix);

    ComRef<IAudioClient3> client3;
    UINT32 defaultPeriod = 0, fundamental = 0, minimum = 0, maximum = 0;
    if (SUCCEEDED(client->QueryInterface(__uuidof(IAudioClient3), client3.putVoid())) && client3 &&
        SUCCEEDED(client3->GetSharedModeEnginePeriod(mix.get(), &defaultPeriod, &fundamental,
                                                     &minimum, &maximum)) &&
        defaultPeriod) {
        out->periods = {defaultPeriod, fundamental, minimum, maximum};
        out->lowLatency = minimum < maximum;
    } else {
        // Without IAudioClient3 the engine's period is the one there is.
        REFERENCE_TIME period = 0, shortest = 0;
        hr = client->GetDevicePeriod(&period, &shortest);
        if (FAILED(hr)) return hr;
        uint32_t frames = uint32_t((uint64_t(period) * mix->nSamplesPerSec + 5000000) / 10000000);
        out->periods = {frames, 0, frames, frames};
    }
    hr = client->Initialize(AUDCLNT_SHAREMODE_SHARED, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, 0, 0,
                            mix.get(), nullptr);
    if (FAILED(hr)) return hr;
    out->usable = true;
    return S_OK;
}

bool chooseStreamMode(ASIOSrv* self, IMMDevice* endpoint, int d, StreamMode mode, HRESULT refusal) {
    const wchar_t* name = kStreamName[d];
    self->shared[d] = false;
    self->sharedEndpoint[d] = {};
    const bool forbidden = refusal == AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED;
    // A refusal init does not act on is logged all the same: start will meet it.
    if (mode == StreamMode::Exclusive) {
        if (FAILED(refusal))
            logMessage(self, L"ASIOSrv:::\t%s: exclusive mode, as StreamMode says, refused (%s)",
                       name, vl::refusalText(refusal).text);
        else
            logMessage(self, L"ASIOSrv:::\t%s: exclusive mode, as StreamMode says", name);
        return !forbidden;
    }
    const bool refused = forbidden || refusal == AUDCLNT_E_DEVICE_IN_USE;
    if (mode == StreamMode::Automatic && !refused) {
        if (FAILED(refusal))
            logMessage(self, L"ASIOSrv:::\t%s: exclusive mode, refused (%s)", name,
                       vl::refusalText(refusal).text);
        else
            logMessage(self, L"ASIOSrv:::\t%s: exclusive mode, granted", name);
        return true;
    }
    HRESULT hr = probeShared(endpoint, &self->sharedEndpoint[d]);
    if (FAILED(hr)) {
        // Exclusive mode is then all there is; where it is refused too, start says so.
        if (mode == StreamMode::Shared)
            logMessage(self, L"ASIOSrv:::\t%s: exclusive mode, shared mode unavailable (%s)", name,
                       vl::refusalText(hr).text);
        else
            logMessage(self, L"ASIOSrv:::\t%s: exclusive mode refused (%s), shared mode too (%s)",
                       name, vl::refusalText(refusal).text, vl::refusalText(hr).text);
        return !forbidden;
    }
    // The host sees 24-in-32 samples, converted to and from the engine's floats, at the
    // engine's rate and channel count.
    const WAVEFORMATEX& mix = self->sharedEndpoint[d].mix.Format;
    self->shared[d] = true;
    self->sampleType[d] = ASIOSTInt32LSB;
    self->channelCount[d] = self->deviceChannels[d] = mix.nChannels;
    if (d == kRender || !self->endpointId[kRender])
        self->sampleRate = static_cast<double>(mix.nSamplesPerSec);
    if (mode == StreamMode::Shared)
        logMessage(self, L"ASIOSrv:::\t%s: shared mode, as StreamMode says", name);
    else
        logMessage(self, L"ASIOSrv:::\t%s: shared mode, exclusive mode refused (%s)", name,
                   vl::refusalText(refusal).text);
    return true;
}

bool turnShared(ASIOSrv* self, IMMDevice* endpoint, int d, unsigned channels, HRESULT refusal) {
    if ((refusal != AUDCLNT_E_DEVICE_IN_USE && refusal != AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED) ||
        readStreamMode() != StreamMode::Automatic || self->bufferSampleType[d] != ASIOSTInt32LSB ||
        self->bufferFrames <= 0)
        return false;
    SharedEndpoint e;
    const uint32_t rate = vl::truncatedRate(self->sampleRate);
    if (FAILED(probeShared(endpoint, &e)) || channels > e.mix.Format.nChannels ||
        (rate != e.mix.Format.nSamplesPerSec && !vl::isConvertibleRate(rate)) ||
        !vl::isEnginePeriod(vl::periodsAtRate(e.periods, e.mix.Format.nSamplesPerSec, rate),
                            uint32_t(self->bufferFrames)))
        return false;
    self->sharedEndpoint[d] = e;
    self->shared[d] = true;
    logMessage(self, L"ASIOSrv:::\t%s: shared mode, exclusive mode refused (%s)", kStreamName[d],
               vl::refusalText(refusal).text);
    return true;
}

WAVEFORMATEXTENSIBLE sharedFormat(const ASIOSrv* self, int d) {
    WAVEFORMATEXTENSIBLE format = self->sharedEndpoint[d].mix;
    if (const uint32_t rate = vl::truncatedRate(self->sampleRate)) {
        format.Format.nSamplesPerSec = rate;
        format.Format.nAvgBytesPerSec = rate * format.Format.nBlockAlign;
    }
    return format;
}

vl::EnginePeriods sharedPeriods(const ASIOSrv* self, int d) {
    const SharedEndpoint& e = self->sharedEndpoint[d];
    return vl::periodsAtRate(e.periods, e.mix.Format.nSamplesPerSec,
                             sharedFormat(self, d).Format.nSamplesPerSec);
}

HRESULT openSharedStream(const ASIOSrv* self, IMMDevice* endpoint, int d,
                         ComRef<IAudioClient>& client) {
    const SharedEndpoint& e = self->sharedEndpoint[d];
    const WAVEFORMATEXTENSIBLE format = sharedFormat(self, d);
    const uint32_t mixRate = e.mix.Format.nSamplesPerSec, rate = format.Format.nSamplesPerSec;
    const bool converted = rate != mixRate;
    if (converted && !vl::isConvertibleRate(rate)) return AUDCLNT_E_UNSUPPORTED_FORMAT;
    HRESULT hr = endpoint->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, client.putVoid());
    if (FAILED(hr) || !client) return FAILED(hr) ? hr : E_POINTER;
    const UINT32 frames = self->bufferFrames > 0 ? UINT32(self->bufferFrames) : 0;
    ComRef<IAudioClient3> client3;
    if ((e.lowLatency || converted) &&
        FAILED(client->QueryInterface(__uuidof(IAudioClient3), client3.putVoid())))
        client3.reset();
    if (e.lowLatency && client3 && !converted)
        hr = client3->InitializeSharedAudioStream(AUDCLNT_STREAMFLAGS_EVENTCALLBACK, frames,
                                                  &format.Format, nullptr);
    else
        hr = client->Initialize(AUDCLNT_SHAREMODE_SHARED,
                                AUDCLNT_STREAMFLAGS_EVENTCALLBACK |
                                    (converted ? AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM |
                                                     AUDCLNT_STREAMFLAGS_SRC_DEFAULT_QUALITY
                                               : 0),
                                0, 0, &format.Format, nullptr);
    // The engine runs one period for all its streams: another program's may hold it.
    WAVEFORMATEX* current = nullptr;
    UINT32 period = 0;
    if (SUCCEEDED(hr) && client3 &&
        SUCCEEDED(client3->GetCurrentSharedModeEnginePeriod(&current, &period)) && period &&
        vl::convertFrames(period, mixRate, rate) != frames)
        hr = AUDCLNT_E_ENGINE_PERIODICITY_LOCKED;
    CoTaskMemFree(current);
    return hr;
}

namespace {

// What other programs play: a process loopback client takes any float format, and runs at the
// engine's period on the default playback device's clock, which it cannot tell itself.
HRESULT openOtherPrograms(const ASIOSrv* self, IMMDeviceEnumerator* enumerator,
                          ComRef<IAudioClient>& client, uint32_t* periodFrames,
                          long* latencyFrames) {
    HRESULT hr = activateOtherPrograms(self->deviceEnumerator, client);
    if (FAILED(hr)) return hr;
    const uint32_t rate =
        vl::truncatedRate(self->sampleRate) ? vl::truncatedRate(self->sampleRate) : 48000;
    WAVEFORMATEXTENSIBLE format = {};
    format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    format.Format.nChannels = 2;
    format.Format.nSamplesPerSec = rate;
    format.Format.wBitsPerSample = 32;
    format.Format.nBlockAlign = 8;
    format.Format.nAvgBytesPerSec = rate * 8;
    format.Format.cbSize = sizeof format - sizeof format.Format;
    format.Samples.wValidBitsPerSample = 32;
    format.dwChannelMask = 0x3;
    format.SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    REFERENCE_TIME period = 100000; // the engine's usual 10 ms where the device will not say
    ComRef<IMMDevice> played;
    ComRef<IAudioClient> probe;
    REFERENCE_TIME devicePeriod = 0;
    if (SUCCEEDED(enumerator->GetDefaultAudioEndpoint(eRender, eConsole, played.put())) && played &&
        activateClient(played.get(), probe) &&
        SUCCEEDED(probe->GetDevicePeriod(&devicePeriod, nullptr)) && devicePeriod > 0)
        period = devicePeriod;
    hr = client->Initialize(AUDCLNT_SHAREMODE_SHARED,
                            AUDCLNT_STREAMFLAGS_LOOPBACK | AUDCLNT_STREAMFLAGS_EVENTCALLBACK,
                            2 * period, 0, &format.Format, nullptr);
    if (FAILED(hr)) return hr;
    *periodFrames = uint32_t((uint64_t(period) * rate + 5000000) / 10000000);
    REFERENCE_TIME latency = 0;
    if (FAILED(client->GetStreamLatency(&latency)) || latency < 0) latency = 0;
    *latencyFrames = long((uint64_t(latency) * rate + 5000000) / 10000000) + long(*periodFrames);
    return S_OK;
}

} // namespace

HRESULT openExclusiveExtra(const ASIOSrv* self, const ASIOSrv::ExtraDevice& extra,
                           IMMDevice* endpoint, ComRef<IAudioClient>& client) {
    const uint32_t rate = vl::truncatedRate(self->sampleRate);
    WAVEFORMATEXTENSIBLE format;
    if (!rate || !makeStreamFormat(extra.deviceType, extra.channels, rate, &format))
        return AUDCLNT_E_UNSUPPORTED_FORMAT;
    HRESULT hr = endpoint->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, client.putVoid());
    if (FAILED(hr) || !client) return FAILED(hr) ? hr : E_POINTER;
    REFERENCE_TIME period = 0;
    hr = client->GetDevicePeriod(&period, nullptr);
    if (FAILED(hr)) return hr;
    hr = client->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, period,
                            period, &format.Format, nullptr);
    UINT32 aligned = 0;
    if (hr != AUDCLNT_E_BUFFER_SIZE_NOT_ALIGNED || FAILED(client->GetBufferSize(&aligned)) ||
        !aligned)
        return hr;
    period = REFERENCE_TIME((uint64_t(aligned) * 10000000 + rate / 2) / rate);
    client.reset();
    hr = endpoint->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, client.putVoid());
    if (FAILED(hr) || !client) return FAILED(hr) ? hr : E_POINTER;
    return client->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, AUDCLNT_STREAMFLAGS_EVENTCALLBACK,
                              period, period, &format.Format, nullptr);
}

HRESULT openExtraStream(const ASIOSrv* self, const ASIOSrv::ExtraDevice& extra,
                        ComRef<IAudioClient>& client, uint32_t* periodFrames, long* latencyFrames,
                        uint32_t* bufferFrames) {
    ComRef<IMMDeviceEnumerator> enumerator;
    ComRef<IMMDevice> endpoint;
    if (!self->deviceEnumerator || !queryEnumerator(self->deviceEnumerator, enumerator))
        return E_POINTER;
    if (extra.otherPrograms)
        return openOtherPrograms(self, enumerator.get(), client, periodFrames, latencyFrames);
    HRESULT hr = enumerator->GetDevice(extra.id, endpoint.put());
    if (FAILED(hr) || !endpoint) return FAILED(hr) ? hr : E_POINTER;
    if (!extra.shared) {
        // Its buffer is one period, and its latency that period.
        UINT32 frames = 0;
        REFERENCE_TIME latency = 0;
        hr = openExclusiveExtra(self, extra, endpoint.get(), client);
        if (SUCCEEDED(hr)) hr = client->GetBufferSize(&frames);
        if (FAILED(hr)) return hr;
        const uint32_t rate = vl::truncatedRate(self->sampleRate);
        if (FAILED(client->GetStreamLatency(&latency)) || latency < 0) latency = 0;
        *periodFrames = frames;
        *latencyFrames = long((uint64_t(latency) * rate + 5000000) / 10000000);
        if (bufferFrames) *bufferFrames = frames;
        return S_OK;
    }
    WAVEFORMATEXTENSIBLE format = extra.sharedEndpoint.mix;
    const uint32_t mixRate = format.Format.nSamplesPerSec;
    const uint32_t rate =
        vl::truncatedRate(self->sampleRate) ? vl::truncatedRate(self->sampleRate) : mixRate;
    const bool converted = rate != mixRate;
    if (converted && !vl::isConvertibleRate(rate)) return AUDCLNT_E_UNSUPPORTED_FORMAT;
    format.Format.nSamplesPerSec = rate;
    format.Format.nAvgBytesPerSec = rate * format.Format.nBlockAlign;
    hr = endpoint->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, client.putVoid());
    if (FAILED(hr) || !client) return FAILED(hr) ? hr : E_POINTER;
    hr = client->Initialize(AUDCLNT_SHAREMODE_SHARED,
                            AUDCLNT_STREAMFLAGS_EVENTCALLBACK |
                                (extra.loopback ? AUDCLNT_STREAMFLAGS_LOOPBACK : 0) |
                                (converted ? AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM |
                                                 AUDCLNT_STREAMFLAGS_SRC_DEFAULT_QUALITY
                                           : 0),
                            0, 0, &format.Format, nullptr);
    if (FAILED(hr)) return hr;
    REFERENCE_TIME period = 0, latency = 0;
    hr = client->GetDevicePeriod(&period, nullptr);
    if (FAILED(hr)) return hr;
    *periodFrames = uint32_t((uint64_t(period) * rate + 5000000) / 10000000);
    if (FAILED(client->GetStreamLatency(&latency)) || latency < 0) latency = 0;
    *latencyFrames = long((uint64_t(latency) * rate + 5000000) / 10000000) + long(*periodFrames);
    UINT32 frames = 0;
    if (bufferFrames) *bufferFrames = SUCCEEDED(client->GetBufferSize(&frames)) ? frames : 0;
    return S_OK;
}

namespace {

unsigned sharedEngines(const ASIOSrv* self, vl::EnginePeriods* engines) {
    unsigned n = 0;
    for (int d = kRender; d <= kCapture; ++d)
        if (streamsShared(self, d)) engines[n++] = sharedPeriods(self, d);
    return n;
}

uint32_t gcd(uint32_t a, uint32_t b) {
    while (b) {
        uint32_t t = a % b;
        a = b;
        b = t;
    }
    return a;
}

} // namespace

void limitToSharedPeriods(const ASIOSrv* self, DWORD preferredMs, long* minSize, long* maxSize,
                          long* preferredSize, long* granularity) {
    vl::EnginePeriods engines[3];
    unsigned n = sharedEngines(self, engines);
    if (n == 0) return;
    // The shared periods' own range, within the exclusive direction's where there is one.
    uint32_t lo = 1, hi = 0xFFFFFFFFu;
    for (unsigned i = 0; i < n; ++i) {
        const vl::EnginePeriods& e = engines[i];
        uint32_t low = e.fundamental && e.minimum < e.defaultPeriod ? e.minimum : e.defaultPeriod;
        uint32_t high = e.fundamental && e.maximum > e.defaultPeriod ? e.maximum : e.defaultPeriod;
        if (low > lo) lo = low;
        if (high < hi) hi = high;
    }
    if (*minSize > 0 && uint32_t(*minSize) > lo) lo = uint32_t(*minSize);
    if (*maxSize > 0 && uint32_t(*maxSize) < hi) hi = uint32_t(*maxSize);
    // The exclusive directions' sizes are one more set of periods, without a default.
    if (*granularity > 0 && *minSize > 0)
        engines[n++] = {0, uint32_t(*granularity), uint32_t(*minSize), uint32_t(*maxSize)};
    uint32_t minimum = vl::nearestCommonPeriod(engines, n, lo, lo, hi);
    uint32_t maximum = vl::nearestCommonPeriod(engines, n, hi, lo, hi);
    int first = streamsShared(self, kRender) ? kRender : kCapture;
    uint32_t rate = sharedFormat(self, first).Format.nSamplesPerSec;
    uint32_t wanted =
        preferredMs ? uint32_t(uint64_t(preferredMs) * rate / 1000) : engines[0].defaultPeriod;
    uint32_t preferred = vl::nearestCommonPeriod(engines, n, wanted, lo, hi);
    // The step between the periods: the fundamentals' least common multiple. A grid holds
    // where every size of it from the minimum is a period of all (an engine's default period
    // off its fundamental's multiples is one size alone), and the preferred size is one.
    uint32_t step = 0;
    for (unsigned i = 0; i < n; ++i)
        if (engines[i].fundamental)
            step = step ? step / gcd(step, engines[i].fundamental) * engines[i].fundamental
                        : engines[i].fundamental;
    bool grid = step && minimum < maximum && minimum % step == 0 && preferred % step == 0;
    if (grid) maximum -= (maximum - minimum) % step;
    for (uint32_t f = minimum; grid && f <= maximum; f += step)
        grid = vl::nearestCommonPeriod(engines, n, f, f, f) == f;
    if (!grid) minimum = maximum = preferred;
    *minSize = long(minimum);
    *maxSize = long(maximum);
    *preferredSize = long(preferred);
    *granularity = grid ? long(step) : 0;
}
