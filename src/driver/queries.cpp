// Driver identity and the simple host queries.
#include "driver/ASIOSrv.h"
#include "driver/log.h"
#include "driver/wformat.h"
#include "endpoint/formats.h"
#include "endpoint/platform.h"
#include "endpoint/refusal.h"
#include "endpoint/shared.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>

namespace {

constexpr size_t kNameBytes = 32; // the host's name fields, terminator included

// Copies narrow text into a host name field: zero-filled, cut to 31 characters, terminated.
void copyName(char* field, const char* text) {
    std::memset(field, 0, kNameBytes);
    std::strncpy(field, text, kNameBytes - 1);
}

// Narrows wide text into a host field of `size` bytes in the system's ANSI code page, the text
// hosts show narrow names in. Characters it lacks become '?'. Whole characters only: a
// double-byte character or surrogate pair that does not fit is left out rather than cut in half.
void narrowText(char* field, size_t size, const wchar_t* text) {
    std::memset(field, 0, size);
    size_t used = 0;
    for (const wchar_t* p = text; *p;) {
        int units = IS_HIGH_SURROGATE(*p) && IS_LOW_SURROGATE(p[1]) ? 2 : 1;
        char bytes[8];
        int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, p, units, bytes, sizeof bytes,
                                    "?", nullptr);
        if (n <= 0) {
            bytes[0] = '?';
            n = 1;
        }
        if (used + n > size - 1) break;
        std::memcpy(field + used, bytes, n);
        used += n;
        p += units;
    }
}

} // namespace

void ASIOSrv::getDriverName(char* name) {
    writeLogLine(this, L"ASIOSrv::getDriverName...");
    if (!name) return;
    copyName(name, kDriverNameA);
    logMessage(this, L"ASIOSrv:::\tgetDriverName() reports [%S]", name);
}

long ASIOSrv::getDriverVersion() {
    writeLogLine(this, L"ASIOSrv::getDriverVersion...");
    return 1;
}

void ASIOSrv::getErrorMessage(char* string) {
    writeLogLine(this, L"ASIOSrv::getErrorMessage...");
    if (string) std::memcpy(string, errorText, sizeof errorText);
}

void explainRefusal(ASIOSrv* self, IMMDevice* endpoint, HRESULT hr) {
    const size_t limit = sizeof self->errorText - 1;
    const char* advice = vl::refusalAdvice(uint32_t(hr), readStreamMode() == StreamMode::Exclusive);
    char code[48] = "";
    if (const char* name = vl::audclntName(uint32_t(hr)))
        std::snprintf(code, sizeof code, " (%s)", name);
    else if (FAILED(hr))
        std::snprintf(code, sizeof code, " (0x%08lX)", static_cast<unsigned long>(hr));
    wchar_t fallback[] = L"The audio device";
    const wchar_t* device = fallback;
    ComRef<IPropertyStore> props;
    PropValue desc;
    if (endpoint && openProperties(endpoint, props) &&
        SUCCEEDED(props->GetValue(PKEY_Device_DeviceDesc, desc.put())) && desc.text() &&
        desc.text()[0])
        device = desc.text();
    char name[64];
    narrowText(name, sizeof name, device);
    const size_t text = std::strlen(advice) + 2; // ": " and what to do
    if (std::strlen(name) + text + std::strlen(code) > limit) code[0] = '\0';
    if (std::strlen(name) + text > limit) narrowText(name, limit - text + 1, device);
    std::snprintf(self->errorText, sizeof self->errorText, "%s: %s%s", name, advice, code);
}

// GetStreamLatency of the running client, or of one opened for the question as start would
// open it for the current buffer set. 0 when there is no endpoint or it will not say (it is
// held by another stream, say).
long endpointLatency(ASIOSrv* self, int direction) {
    if (self->bufferFrames <= 0 || !self->endpointId[direction]) return 0;
    ComRef<IAudioClient> client;
    if (self->audioClient[direction]) {
        self->audioClient[direction]->QueryInterface(__uuidof(IAudioClient), client.putVoid());
    } else {
        // The directions the host has buffers for, each with the channels start opens; a
        // direction without buffers as its endpoint's own.
        ASIOSrv::StreamPlan plan = self->bufferPlan();
        if (!plan.channels[direction]) plan.channels[direction] = self->queryPlan().channels[direction];
        ComRef<IMMDeviceEnumerator> enumerator;
        ComRef<IMMDevice> endpoint;
        WAVEFORMATEXTENSIBLE format;
        if (!self->deviceEnumerator || !queryEnumerator(self->deviceEnumerator, enumerator) ||
            !openEndpoint(enumerator.get(), self->endpointId[direction], endpoint))
            return 0;
        // A shared stream's latency includes the engine's own buffering: asked of one
        // opened as start opens it.
        if (self->shared[direction]) {
            if (FAILED(openSharedStream(self, endpoint.get(), direction, client))) return 0;
        } else if (!self->planFormat(direction, plan, &format) ||
                   openForFrames(endpoint.get(), &format.Format, uint32_t(self->bufferFrames),
                                 self->streamFlags(direction, plan),
                                 &client) != ASIOSrv::Grant::Yes) {
            return 0;
        }
    }
    REFERENCE_TIME latency = 0;
    if (!client || FAILED(client->GetStreamLatency(&latency)) || latency <= 0) return 0;
    long frames = long(double(latency) * double(vl::truncatedRate(self->sampleRate)) / 1e7 + 0.5);
    // A shared stream's latency is the engine's pass alone; the period its buffer spans, which
    // an exclusive stream's latency is, comes on top.
    return self->shared[direction] ? frames + long(self->bufferFrames) : frames;
}

long ASIOSrv::sharedInputLatency() {
    long latest = endpointLatency(this, kCapture);
    long output = -1;
    for (unsigned i = 0; i < extraCount[kCapture]; ++i) {
        ExtraDevice& extra = extraDevices[kCapture][i];
        if (!extra.audioClient && bufferFrames > 0) {
            ComRef<IAudioClient> client;
            if (FAILED(openExtraStream(this, extra, client, &extra.periodFrames,
                                       &extra.latencyFrames)))
                extra.latencyFrames = 0;
        }
        long own = extra.latencyFrames;
        // A loopback stream's packets are stamped when the engine mixed them, the output's
        // way to the device still ahead: it is held until an output's click would come back
        // through a cable of no length. Its packets stop while nothing plays, and the thread
        // makes up the silence only once they are a period and a half overdue: it must be
        // held two periods at least, which the latency of every input may have to grow for.
        if (extra.loopback) {
            if (output < 0) output = outputLatency() - outputBridgeFrames();
            own = 3 * long(extra.periodFrames) - output;
        }
        if (own > latest) latest = own;
    }
    return latest;
}

long ASIOSrv::outputLatency() {
    if (bufferFrames <= 0 || !endpointId[kRender]) return 0;
    long held = timerDriven() ? 2 : hostCallsOutputReady.load(std::memory_order_relaxed) ? 0 : 1;
    return endpointLatency(this, kRender) + held * long(bufferFrames) + outputBridgeFrames();
}

long ASIOSrv::outputBridgeFrames() {
    if (bufferFrames <= 0 || !extraWanted(kRender)) return 0;
    double latest = 0;
    for (unsigned i = 0; i < extraCount[kRender]; ++i) {
        ExtraDevice& extra = extraDevices[kRender][i];
        if (!extra.audioClient) {
            ComRef<IAudioClient> client;
            if (FAILED(openExtraStream(this, extra, client, &extra.periodFrames,
                                       &extra.latencyFrames, &extra.bufferFrames)))
                extra.bufferFrames = 0;
        }
        if (!extra.bufferFrames) continue;
        const double target =
            outputBridgeTarget(uint32_t(bufferFrames), extra.bufferFrames, sampleRate);
        if (target > latest) latest = target;
    }
    return long(latest + 0.5);
}

long ASIOSrv::loopbackPadding(const ExtraDevice& extra, long shared) {
    // What a playback device plays reaches its loopback as late as it is held back.
    return shared + outputLatency() - outputBridgeFrames() - long(extra.periodFrames);
}

ASIOError ASIOSrv::getLatencies(long* inputLatency, long* outputLatency) {
    // What the stream really adds in each direction, so that a host placing recorded audio by
    // input + output lands it where it was played: each endpoint's own stream latency, and the
    // output buffers the streaming thread holds beyond it. An input packet reaches the host in
    // the period it arrives. An output half the host has filled goes to the endpoint, which
    // plays it from the next period on: at once when the host calls outputReady; otherwise
    // a period later, when the next switch is due; in timer-driven mode one more again (the
    // first transfer takes a half before the endpoint starts).
    long input = 0, output = 0;
    // The running clients are asked while no stop can release them.
    ControlLock lock(this);
    if (bufferFrames > 0) {
        input = endpointLatency(this, kCapture);
        // Across two clocks the input waits in the bridge, at a fill held constant. Timer-
        // driven, the bridge takes the place of the capture ring, whose buffer of lead the
        // output's figure there counts. With buffers on recording devices after the first,
        // every input waits in one, as long as the latest device's.
        if (extraWanted(kCapture))
            input = sharedInputLatency() + bridgeFrames(uint32_t(bufferFrames));
        else if (bridged())
            input += bridgeFrames(uint32_t(bufferFrames)) - (timerDriven() ? bufferFrames : 0);
        // Without a render endpoint there is no output to be late.
        output = this->outputLatency();
    }
    if (inputLatency) *inputLatency = input;
    if (outputLatency) *outputLatency = output;
    logMessage(this, L"ASIOSrv::: getLatencies() reports Input=%d Output=%d",
               inputLatency ? input : 0, outputLatency ? output : 0);
    return ASE_OK;
}

ASIOError ASIOSrv::getClockSources(ASIOClockSource* clocks, long* numSources) {
    if (!clocks || !numSources) return ASE_InvalidParameter;
    logMessage(this, L"ASIOSrv:::getClockSources(%d)...", *numSources);
    // One internal clock, written whatever room the host said it has.
    clocks[0].index = 0;
    clocks[0].associatedChannel = -1;
    clocks[0].associatedGroup = -1;
    clocks[0].isCurrentSource = ASIOTrue;
    copyName(clocks[0].name, "Internal");
    *numSources = 1;
    return ASE_OK;
}

ASIOError ASIOSrv::setClockSource(long) {
    writeLogLine(this, L"ASIOSrv::setClockSource...");
    return ASE_NotPresent;
}

ASIOError ASIOSrv::getChannelInfo(ASIOChannelInfo* info) {
    if (!info) {
        writeLogLine(this, L"ASIODrv::getChannelInfo(NULL)!!!");
        return ASE_InvalidParameter;
    }
    info->channelGroup = 0;
    info->isActive = ASIOFalse;
    info->type = sampleType[kRender];
    std::memset(info->name, 0, sizeof info->name);
    if (!deviceEnumerator) return ASE_NotPresent;

    // Every channel getChannels offers that can have a buffer.
    ControlLock lock(this);
    int direction = info->isInput ? kCapture : kRender;
    info->type = sampleType[direction];
    if (!endpointId[direction]) return ASE_NotPresent;
    if (info->channel < 0 || info->channel >= channelsOffered(direction, false) ||
        !channelExists(direction, info->channel))
        return ASE_InvalidParameter;
    info->isActive = asioBuffers[direction][info->channel] ? ASIOTrue : ASIOFalse;

    // Named after the device it belongs to, counted from 1 on each device.
    wchar_t device[64];
    long number = info->channel + 1;
    const ExtraDevice* extra = extraDeviceOf(direction, info->channel);
    if (extra) {
        wcsncpy(device, extra->name, 63);
        device[63] = 0;
        number = info->channel - extra->first + 1;
    } else {
        ComRef<IMMDeviceEnumerator> enumerator;
        ComRef<IMMDevice> endpoint;
        if (!queryEnumerator(deviceEnumerator, enumerator) ||
            !openEndpoint(enumerator.get(), endpointId[direction], endpoint))
            return ASE_NotPresent;
        readDeviceName(endpoint.get(), device, 64);
    }
    if (!device[0]) return ASE_InvalidMode;
    // The number always shows: the name is cut to make room for it.
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, extra && extra->loopback ? " loopback %ld" : " %ld",
                  number);
    narrowText(info->name, kNameBytes - std::strlen(suffix), device);
    std::strcat(info->name, suffix);
    return ASE_OK;
}

ASIOError ASIOSrv::future(long selector, void*) {
    logMessage(this, L"ASIOSrv:::future(%d)...", selector);
    // Time information is the one optional feature: bufferSwitchTimeInfo is used when the
    // host takes it.
    return selector == kAsioCanTimeInfo ? ASE_SUCCESS : ASE_NotPresent;
}
