// Binding to the default endpoints (init) and the channel counts offered to the host.
#include "driver/ASIOSrv.h"
#include "driver/log.h"
#include "endpoint/formats.h"
#include "endpoint/platform.h"
#include "endpoint/refusal.h"
#include "endpoint/shared.h"

#include <mmreg.h>
#include <ks.h>
#include <ksmedia.h>

#include <cwchar>

namespace {

// The format the audio engine runs an endpoint with: its channel count, its rate and the
// sample type the driver streams it exclusively with. False when it cannot be read.
bool readEngineFormat(IMMDevice* endpoint, uint16_t* channels, uint32_t* rate,
                      ASIOSampleType* type) {
    ComRef<IPropertyStore> props;
    if (!openProperties(endpoint, props)) return false;
    PropValue value;
    HRESULT hr = props->GetValue(PKEY_AudioEngine_DeviceFormat, value.put());
    const PROPVARIANT& v = value.get();
    if (FAILED(hr) || v.vt != VT_BLOB || !v.blob.pBlobData || v.blob.cbSize < sizeof(WAVEFORMATEX))
        return false;
    const auto* format = reinterpret_cast<const WAVEFORMATEX*>(v.blob.pBlobData);
    *channels = format->nChannels;
    *rate = format->nSamplesPerSec;
    // Only 24 valid bits in 32-bit containers stream as 32-bit samples; everything else,
    // 24-bit packed and full 32-bit included, is offered as 16-bit.
    *type = format->wFormatTag == WAVE_FORMAT_EXTENSIBLE && format->wBitsPerSample == 32 &&
                    v.blob.cbSize >= sizeof(WAVEFORMATEXTENSIBLE) &&
                    reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(format)
                            ->Samples.wValidBitsPerSample == 24
                ? ASIOSTInt32LSB
                : ASIOSTInt16LSB;
    return true;
}

// Takes the channel count and sample type of a direction, and for render the rate, from the
// format the audio engine runs the endpoint with. An unreadable format leaves them as they were.
void readDeviceFormat(ASIOSrv* self, IMMDevice* endpoint, int direction) {
    uint16_t channels = 0;
    uint32_t rate = 0;
    ASIOSampleType type = ASIOSTInt16LSB;
    if (!readEngineFormat(endpoint, &channels, &rate, &type)) return;
    // The rate is the render endpoint's; without one (a PC that only records), the capture
    // endpoint's.
    if (direction == kRender || !self->endpointId[kRender])
        self->sampleRate = static_cast<double>(rate);
    self->sampleType[direction] = type;
    self->channelCount[direction] = channels;
    self->deviceChannels[direction] = channels;
}

// What an exclusive stream of the format the direction would stream with, at the default
// period, gets on the endpoint: S_OK when granted (or when it cannot even be asked), else the
// refusal, which tells a user's ban (EXCLUSIVE_MODE_NOT_ALLOWED) and another program on the
// endpoint (DEVICE_IN_USE) from the rest.
HRESULT exclusiveRefusal(ASIOSrv* self, IMMDevice* endpoint, int direction) {
    ComRef<IAudioClient> client;
    WAVEFORMATEXTENSIBLE format;
    REFERENCE_TIME defaultPeriod = 0, minimumPeriod = 0;
    if (!activateClient(endpoint, client) ||
        !self->directionFormat(direction, 0, self->sampleRate, &format) ||
        FAILED(client->GetDevicePeriod(&defaultPeriod, &minimumPeriod)))
        return S_OK;
    HRESULT hr = client->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, AUDCLNT_STREAMFLAGS_EVENTCALLBACK,
                                    defaultPeriod, defaultPeriod, &format.Format, nullptr);
    return FAILED(hr) ? hr : S_OK;
}

// PKEY_Device_ContainerId, which mingw-w64's headers lack: one GUID for every endpoint of one
// physical device.
const PROPERTYKEY kContainerIdKey = {
    {0x8c7ed206, 0x3f8a, 0x4827, {0xb3, 0xab, 0xae, 0x9e, 0x1f, 0xae, 0xfc, 0x6c}}, 2};

ASIOSrv::DeviceId readDeviceId(IMMDevice* endpoint) {
    ASIOSrv::DeviceId id;
    ComRef<IPropertyStore> props;
    PropValue value;
    if (openProperties(endpoint, props) &&
        SUCCEEDED(props->GetValue(kContainerIdKey, value.put())) && value.get().vt == VT_CLSID &&
        value.get().puuid) {
        id.known = true;
        id.container = *value.get().puuid;
    }
    return id;
}

enum class Bound { None, Endpoint, Forbidden };

// Whether an ID names an active endpoint of the direction; that endpoint when it does.
bool activeEndpoint(IMMDeviceEnumerator* enumerator, const wchar_t* id, int direction,
                    ComRef<IMMDevice>& endpoint) {
    ComRef<IMMEndpoint> flow;
    EDataFlow dataFlow = eAll;
    DWORD state = 0;
    if (openEndpoint(enumerator, id, endpoint) && SUCCEEDED(endpoint->GetState(&state)) &&
        state == DEVICE_STATE_ACTIVE &&
        SUCCEEDED(endpoint->QueryInterface(__uuidof(IMMEndpoint), flow.putVoid())) && flow &&
        SUCCEEDED(flow->GetDataFlow(&dataFlow)) &&
        dataFlow == (direction == kRender ? eRender : eCapture))
        return true;
    endpoint.reset();
    return false;
}

// A device after a direction's first joins as an extra one: at its own period on its own
// clock, which its bridge takes into (or, playing, out of) the first playback device's. A
// shared stream must open there, what it falls back to wherever exclusive mode is refused.
// False, with the reason in the log, when it cannot.
bool addExtraDevice(ASIOSrv* self, int direction, IMMDevice* endpoint, const wchar_t* entry,
                    bool loopback) {
    const wchar_t* setting = kEndpointListSetting[direction];
    if (self->extraCount[direction] == kMaxExtraDevices) {
        logMessage(self, L"ASIOSrv:::\t%s: %s left out, %d %s devices at the most", setting, entry,
                   kMaxExtraDevices + 1, direction == kRender ? L"playback" : L"recording");
        return false;
    }
    ASIOSrv::ExtraDevice& extra = self->extraDevices[direction][self->extraCount[direction]];
    HRESULT hr = probeShared(endpoint, &extra.sharedEndpoint);
    if (FAILED(hr)) {
        logMessage(self, L"ASIOSrv:::\t%s: %s left out, no shared stream (%s)", setting, entry,
                   vl::refusalText(hr).text);
        return false;
    }
    endpoint->GetId(&extra.id);
    extra.device = readDeviceId(endpoint);
    readDeviceName(endpoint, extra.name, 64);
    extra.channels = extra.sharedEndpoint.mix.Format.nChannels;
    extra.loopback = loopback;
    ++self->extraCount[direction];
    // A device's mode, and its line, wait for the driver's rate (chooseExtraModes).
    if (loopback)
        logMessage(self, L"ASIOSrv:::\t%s: %s joins, what %s plays, %d channels", setting, entry,
                   extra.id, extra.channels);
    else
        wcsncpy(extra.entry, entry, sizeof extra.entry / sizeof *extra.entry - 1);
    return true;
}

// Whether what a playback device after the first plays is listed as an input: Windows
// refuses a loopback stream of a device held exclusively, so that device plays shared.
bool loopbackListed(const ASIOSrv* self, const ASIOSrv::ExtraDevice& played) {
    for (unsigned i = 0; i < self->extraCount[kCapture]; ++i) {
        const ASIOSrv::ExtraDevice& extra = self->extraDevices[kCapture][i];
        if (extra.loopback && !extra.otherPrograms && _wcsicmp(extra.id, played.id) == 0)
            return true;
    }
    return false;
}

// Each device after a direction's first streams exclusively, in its own format at the
// driver's rate, where Windows grants it and the "StreamMode" setting allows it; else
// shared, in the engine's mix format, as it was bound. Decided once both first devices are
// bound: the rate is theirs.
void chooseExtraModes(ASIOSrv* self, IMMDeviceEnumerator* enumerator, StreamMode mode) {
    for (int d = kRender; d <= kCapture; ++d)
        for (unsigned i = 0; i < self->extraCount[d]; ++i) {
            ASIOSrv::ExtraDevice& extra = self->extraDevices[d][i];
            if (extra.loopback) continue;
            const wchar_t* setting = kEndpointListSetting[d];
            ASIOSrv::ExtraDevice exclusive = extra;
            exclusive.shared = false;
            ComRef<IMMDevice> endpoint;
            ComRef<IAudioClient> client;
            uint32_t rate = 0; // the device's own; it streams at the driver's
            ASIOSampleType type = ASIOSTInt16LSB;
            HRESULT refusal = S_OK;
            if (mode != StreamMode::Shared && d == kRender && loopbackListed(self, extra)) {
                logMessage(self, L"ASIOSrv:::\t%s: %s shared mode, what it plays is an input",
                           setting, extra.entry);
            } else if (mode != StreamMode::Shared && openEndpoint(enumerator, extra.id, endpoint) &&
                       readEngineFormat(endpoint.get(), &exclusive.channels, &rate, &type)) {
                exclusive.deviceType = int32_t(type);
                refusal = openExclusiveExtra(self, exclusive, endpoint.get(), client);
                if (SUCCEEDED(refusal))
                    extra = exclusive;
                else
                    logMessage(self, L"ASIOSrv:::\t%s: %s exclusive mode refused (%s)", setting,
                               extra.entry, vl::refusalText(refusal).text);
            }
            logMessage(self, L"ASIOSrv:::\t%s: %s joins, %s mode, %d channels", setting,
                       extra.entry, extra.shared ? L"shared" : L"exclusive", extra.channels);
        }
}

// "loopback:others": what every program but the host plays, where Windows offers it.
const wchar_t kOtherProgramsEntry[] = L"loopback:others";

bool addOtherPrograms(ASIOSrv* self, const wchar_t* entry) {
    const wchar_t* setting = kEndpointListSetting[kCapture];
    ComRef<IAudioClient> client;
    HRESULT hr = self->extraCount[kCapture] == kMaxExtraDevices
                     ? E_OUTOFMEMORY
                     : activateOtherPrograms(self->deviceEnumerator, client);
    const size_t bytes = (wcslen(entry) + 1) * sizeof(wchar_t);
    wchar_t* id = SUCCEEDED(hr) ? static_cast<wchar_t*>(CoTaskMemAlloc(bytes)) : nullptr;
    if (!id) {
        logMessage(self, L"ASIOSrv:::\t%s: %s left out, not offered here (%s)", setting, entry,
                   vl::refusalText(FAILED(hr) ? hr : E_OUTOFMEMORY).text);
        return false;
    }
    memcpy(id, entry, bytes);
    ASIOSrv::ExtraDevice& extra = self->extraDevices[kCapture][self->extraCount[kCapture]++];
    extra.id = id;
    wcscpy(extra.name, L"Other programs");
    extra.channels = 2;
    extra.loopback = extra.otherPrograms = true;
    logMessage(self, L"ASIOSrv:::\t%s: %s joins, what other programs play, 2 channels", setting,
               entry);
    return true;
}

// Whether a device is the direction's first one or joined after it already: the default
// named again by its ID, or the other way round, or one ID listed twice. One stream a device.
bool listedBefore(const ASIOSrv* self, int direction, IMMDevice* first, IMMDevice* endpoint) {
    TaskMem<wchar_t> id, firstId;
    if (!first || FAILED(endpoint->GetId(id.put())) || !id.get()) return false;
    if (SUCCEEDED(first->GetId(firstId.put())) && firstId.get() &&
        _wcsicmp(id.get(), firstId.get()) == 0)
        return true;
    for (unsigned i = 0; i < self->extraCount[direction]; ++i) {
        const ASIOSrv::ExtraDevice& extra = self->extraDevices[direction][i];
        if (!extra.loopback && extra.id && _wcsicmp(id.get(), extra.id) == 0) return true;
    }
    return false;
}

// The devices a user listed for a direction ("RenderEndpoints", "CaptureEndpoints"): the
// first one there becomes the direction's endpoint and, for recording, the ones after it
// join as extra inputs. One that is not there is left out with a log line. False when the
// list names none that is there.
bool findListed(ASIOSrv* self, IMMDeviceEnumerator* enumerator, int direction, const wchar_t* list,
                ComRef<IMMDevice>& first) {
    const wchar_t* setting = kEndpointListSetting[direction];
    for (const wchar_t* entry = list; *entry; entry += wcslen(entry) + 1) {
        // What a playback device plays ("loopback:<id>", "loopback:default"): an input like
        // any other after the first recording device, never the first itself.
        if (_wcsicmp(entry, kOtherProgramsEntry) == 0) {
            if (direction == kCapture) addOtherPrograms(self, entry);
            continue;
        }
        if (_wcsnicmp(entry, L"loopback:", 9) == 0) {
            const wchar_t* of = entry + 9;
            ComRef<IMMDevice> played;
            const bool found = _wcsicmp(of, L"default") == 0
                                   ? SUCCEEDED(enumerator->GetDefaultAudioEndpoint(
                                         eRender, eConsole, played.put())) &&
                                         played
                                   : activeEndpoint(enumerator, of, kRender, played);
            if (direction != kCapture || !found)
                logMessage(self, L"ASIOSrv:::\t%s: %s left out, not an active playback device",
                           setting, entry);
            else
                addExtraDevice(self, kCapture, played.get(), entry, true);
            continue;
        }
        ComRef<IMMDevice> endpoint;
        const bool isFirst = !first;
        ComRef<IMMDevice>& found = isFirst ? first : endpoint;
        // "default": the direction's default device, at its place in the list.
        const bool active =
            _wcsicmp(entry, L"default") == 0
                ? SUCCEEDED(enumerator->GetDefaultAudioEndpoint(
                      direction == kRender ? eRender : eCapture, eConsole, found.put())) &&
                      found
                : activeEndpoint(enumerator, entry, direction, found);
        if (!active) {
            found.reset();
            logMessage(self, L"ASIOSrv:::\t%s: %s left out, not an active endpoint", setting,
                       entry);
        } else if (isFirst) {
            logMessage(self, L"ASIOSrv:::\t%s: %s first", setting, entry);
        } else if (listedBefore(self, direction, first.get(), endpoint.get())) {
            logMessage(self, L"ASIOSrv:::\t%s: %s left out, listed already", setting, entry);
        } else {
            addExtraDevice(self, direction, endpoint.get(), entry, false);
        }
    }
    return bool(first);
}

// The endpoint a user chose for a direction (the list above, else "RenderEndpoint" or
// "CaptureEndpoint"), when it is an active endpoint of that direction; else the default,
// with the reason in the log.
bool findEndpoint(ASIOSrv* self, IMMDeviceEnumerator* enumerator, int direction,
                  ComRef<IMMDevice>& endpoint) {
    const wchar_t* setting = kEndpointSetting[direction];
    wchar_t list[2048];
    readListSetting(kEndpointListSetting[direction], list, 2048);
    wchar_t chosen[512];
    readTextSetting(setting, chosen, 512);
    if (list[0]) {
        if (findListed(self, enumerator, direction, list, endpoint)) return true;
        logMessage(self, L"ASIOSrv:::\t%s: the default endpoint, none listed is there",
                   kEndpointListSetting[direction]);
    } else if (chosen[0]) {
        if (activeEndpoint(enumerator, chosen, direction, endpoint)) {
            logMessage(self, L"ASIOSrv:::\t%s: the chosen endpoint %s", setting, chosen);
            return true;
        }
        logMessage(self, L"ASIOSrv:::\t%s: the default endpoint, %s is not an active endpoint",
                   setting, chosen);
    } else {
        logMessage(self, L"ASIOSrv:::\t%s: the default endpoint, none chosen", setting);
    }
    HRESULT hr = enumerator->GetDefaultAudioEndpoint(direction == kRender ? eRender : eCapture,
                                                     eConsole, endpoint.put());
    return SUCCEEDED(hr) && endpoint;
}

// Binds a direction to its endpoint, keeps its ID and decides its mode. An endpoint on which
// the user has forbidden exclusive mode and no shared stream opens is let go again: the
// driver can never stream there.
Bound bindEndpoint(ASIOSrv* self, IMMDeviceEnumerator* enumerator, int direction, StreamMode mode) {
    ComRef<IMMDevice> endpoint;
    self->shared[direction] = false;
    if (!findEndpoint(self, enumerator, direction, endpoint)) return Bound::None;
    endpoint->GetId(&self->endpointId[direction]);
    readDeviceFormat(self, endpoint.get(), direction);
    self->deviceId[direction] = readDeviceId(endpoint.get());
    // Forced shared mode does not ask for an exclusive stream at all.
    HRESULT refusal =
        mode == StreamMode::Shared ? S_OK : exclusiveRefusal(self, endpoint.get(), direction);
    if (chooseStreamMode(self, endpoint.get(), direction, mode, refusal)) return Bound::Endpoint;
    // The first such endpoint is the one a failed init tells the host about.
    if (!self->errorText[0]) explainRefusal(self, endpoint.get(), refusal);
    CoTaskMemFree(self->endpointId[direction]);
    self->endpointId[direction] = nullptr;
    return Bound::Forbidden;
}

// Opens an endpoint by its stored ID, logs its description and reads its mix format.
// Returns the mix format's channel count, 0 when any step fails; with probeOutputs, the
// largest larger count the endpoint accepts in exclusive mode.
long countChannels(ASIOSrv* self, IMMDeviceEnumerator* enumerator, const wchar_t* id,
                   bool probeOutputs, bool log) {
    ComRef<IMMDevice> endpoint;
    ComRef<IPropertyStore> props;
    if (!openEndpoint(enumerator, id, endpoint) || !openProperties(endpoint.get(), props)) return 0;
    if (log) {
        PropValue desc;
        if (SUCCEEDED(props->GetValue(PKEY_Device_DeviceDesc, desc.put())))
            logMessage(self, L"ASIOSrv:::\tChecking [%s]...", desc.text());
    }
    ComRef<IAudioClient> client;
    TaskMem<WAVEFORMATEX> mix;
    if (!activateClient(endpoint.get(), client) || FAILED(client->GetMixFormat(mix.put())) ||
        !mix.get())
        return 0;
    WAVEFORMATEX* format = mix.get();
    long count = format->nChannels;
    if (!probeOutputs) return count;

    // Endpoints often take more channels in exclusive mode than the engine mixes: try the mix
    // count plus 2, plus 4, ... up to the first count above 8. A refused count does not end
    // the probe, so the largest accepted count wins.
    bool extensible = format->wFormatTag == WAVE_FORMAT_EXTENSIBLE &&
                      format->cbSize >= sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    auto* ext = reinterpret_cast<WAVEFORMATEXTENSIBLE*>(format);
    if (extensible) {
        ext->Samples.wValidBitsPerSample = format->wBitsPerSample > 16 ? 24 : 16;
        ext->SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    }
    while (format->nChannels <= 8) {
        format->nChannels += 2;
        format->nBlockAlign = static_cast<WORD>(format->nChannels * format->wBitsPerSample / 8);
        format->nAvgBytesPerSec = format->nBlockAlign * format->nSamplesPerSec;
        if (extensible) ext->dwChannelMask = vl::probeChannelMask(format->nChannels);
        if (SUCCEEDED(client->IsFormatSupported(AUDCLNT_SHAREMODE_EXCLUSIVE, format, nullptr)))
            count = format->nChannels;
    }
    return count;
}

// The devices after a direction's first take the host's channels after its own, as many as
// fit whole; each streams on the first playback device's clock through a bridge, so there
// must be one, and the event-driven thread it takes.
void placeExtraDevices(ASIOSrv* self, int direction) {
    const wchar_t* setting = kEndpointListSetting[direction];
    unsigned kept = 0;
    unsigned next = self->firstChannels[direction];
    for (unsigned i = 0; i < self->extraCount[direction]; ++i) {
        ASIOSrv::ExtraDevice& extra = self->extraDevices[direction][i];
        const wchar_t* why = nullptr;
        if (!self->endpointId[kRender])
            why = L"no playback device to clock it";
        else if (!self->endpointId[direction])
            why = L"no first recording device";
        else if (self->TimerDrivenMode)
            why = L"not in timer-driven mode";
        else if (extra.loopback && !self->shared[kRender] &&
                 _wcsicmp(extra.id, self->endpointId[kRender]) == 0)
            // Windows refuses a loopback stream of a device held exclusively.
            why = L"the driver plays to that device exclusively";
        else if (next + extra.channels > unsigned(kMaxHostChannels))
            why = L"its channels do not fit";
        if (why) {
            logMessage(self, L"ASIOSrv:::\t%s: %s left out, %s", setting, extra.id, why);
            CoTaskMemFree(extra.id);
            extra = {};
            continue;
        }
        extra.first = uint16_t(next);
        next += extra.channels;
        if (kept != i) {
            self->extraDevices[direction][kept] = extra;
            extra = {};
        }
        ++kept;
    }
    self->extraCount[direction] = kept;
}

} // namespace

void readDeviceName(IMMDevice* device, wchar_t* name, size_t chars) {
    name[0] = 0;
    ComRef<IPropertyStore> props;
    if (!openProperties(device, props)) return;
    PropValue value;
    if ((FAILED(props->GetValue(PKEY_Device_FriendlyName, value.put())) || !value.text() ||
         !value.text()[0]) &&
        FAILED(props->GetValue(PKEY_Device_DeviceDesc, value.put())))
        return;
    if (value.text()) {
        wcsncpy(name, value.text(), chars - 1);
        name[chars - 1] = 0;
    }
}

void ASIOSrv::releaseExtraDevices() {
    closeExtraDevices();
    for (int d = kRender; d <= kCapture; ++d) {
        for (unsigned i = 0; i < extraCount[d]; ++i) {
            CoTaskMemFree(extraDevices[d][i].id);
            extraDevices[d][i] = {};
        }
        extraCount[d] = 0;
    }
}

bool ASIOSrv::extraWanted(int direction) const {
    for (unsigned i = 0; i < extraCount[direction]; ++i)
        for (unsigned c = 0; c < extraDevices[direction][i].channels; ++c)
            if (asioBuffers[direction][extraDevices[direction][i].first + c]) return true;
    return false;
}

bool ASIOSrv::clocksApart() const {
    return endpointId[kRender] && endpointId[kCapture] && deviceId[kRender].known &&
           deviceId[kCapture].known && !deviceId[kRender].same(deviceId[kCapture]);
}

bool ASIOSrv::onRenderClock(const ExtraDevice& extra) const {
    if (extra.otherPrograms || !endpointId[kRender]) return false;
    if (extra.loopback && extra.id && _wcsicmp(extra.id, endpointId[kRender]) == 0) return true;
    return extra.device.same(deviceId[kRender]);
}

bool ASIOSrv::bridged() const {
    const StreamPlan plan = bufferPlan();
    return plan.channels[kRender] && plan.channels[kCapture] &&
           (clocksApart() || bridging.load(std::memory_order_relaxed));
}

ASIOBool ASIOSrv::init(void* sysHandle) {
    ControlLock lock(this);
    logMessage(this, L"ASIOSrv:::init(0x%X)...[%s]", low32(sysHandle),
               registeredDriverName ? registeredDriverName : L"NULL");
    // The formats may change under a running stream: it stops first.
    if (streamOpen()) stop();
    callbacks = {};
    hostCallsOutputReady.store(false, std::memory_order_relaxed);
    offeredSizes = {};
    offeredChannels[kRender] = offeredChannels[kCapture] = -1;
    for (wchar_t*& id : endpointId) {
        CoTaskMemFree(id);
        id = nullptr;
    }
    shared[kRender] = shared[kCapture] = false;
    deviceId[kRender] = deviceId[kCapture] = {};
    errorText[0] = '\0';
    releaseExtraDevices();
    firstChannels[kRender] = firstChannels[kCapture] = 0;

    bool forbidden = false;
    ComRef<IMMDeviceEnumerator> enumerator;
    HRESULT hr = CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                                  __uuidof(IMMDeviceEnumerator), enumerator.putVoid());
    if (SUCCEEDED(hr) && enumerator) {
        // The earlier enumerator goes only once a new one exists.
        if (deviceEnumerator) deviceEnumerator->Release();
        deviceEnumerator = nullptr;
        hr = enumerator->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&deviceEnumerator));
        if (FAILED(hr) && deviceEnumerator) {
            deviceEnumerator->Release();
            deviceEnumerator = nullptr;
        }
        // Each direction on its own: a PC without speakers still records.
        if (deviceEnumerator) {
            StreamMode mode = readStreamMode();
            for (int d = kRender; d <= kCapture; ++d)
                forbidden |= bindEndpoint(this, enumerator.get(), d, mode) == Bound::Forbidden;
            chooseExtraModes(this, enumerator.get(), mode);
            for (int d = kRender; d <= kCapture; ++d) {
                if (endpointId[d] && extraCount[d])
                    firstChannels[d] =
                        uint16_t(countChannels(this, enumerator.get(), endpointId[d],
                                               d == kRender && !shared[kRender], false));
                placeExtraDevices(this, d);
            }
        }
    }

    // Blocks made for a sample type the endpoint no longer has would be read and written with
    // the new sample width: a set whose type changed is disposed of.
    for (int d = kRender; d <= kCapture; ++d) {
        bool hasBlocks = false;
        for (void* block : asioBuffers[d])
            hasBlocks |= block != nullptr;
        if (hasBlocks && bufferSampleType[d] != sampleType[d]) {
            releaseBufferSet();
            break;
        }
    }

    logMessage(this, L"ASIOSrv:::\tinit() got 0x%X 0x%X", low32(endpointId[kRender]),
               low32(endpointId[kCapture]));
    // Endpoints that exist but where exclusive mode is forbidden, and none that can stream:
    // the host is told at once rather than offered nothing to stream with.
    if (!forbidden || endpointId[kRender] || endpointId[kCapture]) {
        errorText[0] = '\0';
        return ASIOTrue;
    }
    return ASIOFalse;
}

ASIOError ASIOSrv::getChannels(long* numInputChannels, long* numOutputChannels) {
    if (!numInputChannels && !numOutputChannels) return ASE_InvalidParameter;
    writeLogLine(this, L"ASIOSrv::getChannels()...");
    if (numInputChannels) *numInputChannels = 0;
    if (numOutputChannels) *numOutputChannels = 0;
    if (!deviceEnumerator) return ASE_NotPresent;

    ControlLock lock(this);
    long inputs = numInputChannels ? channelsOffered(kCapture, true) : 0;
    long outputs = numOutputChannels ? channelsOffered(kRender, true) : 0;
    if (numInputChannels) *numInputChannels = inputs;
    if (numOutputChannels) *numOutputChannels = outputs;

    logMessage(this, L"ASIOSrv:::\tgetChannels() got Input=%d Output=%d", inputs, outputs);
    return ASE_OK;
}

long ASIOSrv::channelsOffered(int direction, bool log) {
    // Found afresh while the endpoints are free; a running stream's holds them, and the counts
    // found before it started still stand.
    if (offeredChannels[direction] >= 0 && (endpointsHeld() || !log))
        return offeredChannels[direction];
    ComRef<IMMDeviceEnumerator> enumerator;
    long count = 0;
    if (endpointId[direction] && deviceEnumerator && queryEnumerator(deviceEnumerator, enumerator))
        // A shared stream has the mix format's channels, however many more the device takes
        // exclusively.
        count = countChannels(this, enumerator.get(), endpointId[direction],
                              direction == kRender && !shared[kRender], log);
    // The recording devices after the first follow its channels, or where it has fewer now
    // than init found, a silent gap.
    if (extraCount[direction]) {
        const ExtraDevice& last = extraDevices[direction][extraCount[direction] - 1];
        count = last.first + last.channels;
    }
    offeredChannels[direction] = count;
    return count;
}
