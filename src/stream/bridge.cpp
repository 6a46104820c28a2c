// Capture on another device's clock: the packets go into the clock bridge with the times the
// capture endpoint gives them, and each render period takes its input half out, at the time
// the render endpoint's clock gives that period.
#include "driver/log.h"
#include "stream/engine.h"

#include <audioclient.h>

#include <algorithm>
#include <cmath>
#include <new>

namespace {

constexpr double kHundredNs = 1e-7;

// A time in 100-ns units as seconds from the bridge's origin, which the first time given sets
// a minute before itself (so that every later time, and any a little earlier, is positive). A
// double holds seconds since the machine started to a few nanoseconds only after a few weeks:
// seconds since the stream started keep the stamps' 100-ns steps exact.
double bridgeSeconds(UINT64& origin, UINT64 hundredNs) {
    constexpr UINT64 kLead = 600000000; // a minute
    if (!origin) origin = hundredNs > kLead ? hundredNs - kLead : 1;
    return double(int64_t(hundredNs - origin)) * kHundredNs;
}
double bridgeSeconds(CaptureBridge& bridge, UINT64 hundredNs) {
    return bridgeSeconds(bridge.timeOrigin, hundredNs);
}
// The same for a time with a fraction of 100 ns.
double bridgeSeconds(UINT64& origin, double hundredNs) {
    const UINT64 whole = UINT64(hundredNs);
    return bridgeSeconds(origin, whole) + (hundredNs - double(whole)) * kHundredNs;
}

vl::ClockBridge::Config bridgeConfig(unsigned channels, uint32_t frames, double rate,
                                     uint32_t capturePeriod = 0, uint32_t padding = 0) {
    vl::ClockBridge::Config config;
    config.channels = channels;
    config.framesPerSecond = rate;
    config.capturePeriodFrames = capturePeriod ? capturePeriod : frames;
    config.renderPeriodFrames = frames;
    // The latency the bridge adds beyond its packets' own grows by the margin frame for frame:
    // padding makes inputs of devices with shorter latencies as late as the latest.
    config.marginFrames = kBridgeMarginFrames + padding;
    return config;
}

} // namespace

long ASIOSrv::bridgeFrames(uint32_t bufferFrames) {
    // The host's half is taken from the bridge at the fill it holds, where without it the
    // packet just captured would be: that packet's length less.
    double target = vl::ClockBridge::targetFor(bridgeConfig(1, bufferFrames, 48000));
    return long(target + 0.5) - long(bufferFrames);
}

bool CaptureBridge::setup(unsigned streamChannels, uint32_t streamFrames, double streamRate,
                          int32_t type, uint32_t capturePeriod, uint32_t padding) {
    channels = streamChannels;
    frames = streamFrames;
    rate = streamRate > 0 ? streamRate : 48000;
    packetType = type;
    packetFrames = capturePeriod ? capturePeriod : streamFrames;
    if (!channels || channels > vl::kMaxChannels || !frames) return false;
    scratch.reset(new (std::nothrow) float[size_t(channels) * frames]);
    if (!scratch || !clocks.setup(bridgeConfig(channels, frames, rate, capturePeriod, padding)))
        return false;
    for (unsigned c = 0; c < channels; ++c)
        out[c] = scratch.get() + size_t(c) * frames;
    return true;
}

HRESULT bridgeCapture(CaptureBridge& bridge, IAudioCaptureClient* capture, bool* lost) {
    // A capture clock faster than render's brings two packets to some periods: all of them
    // are taken, up to a few (the endpoint holds no more).
    for (int packets = 0; packets < 4; ++packets) {
        BYTE* data = nullptr;
        UINT32 count = 0;
        DWORD flags = 0;
        UINT64 position = 0, qpc = 0;
        HRESULT hr = capture->GetBuffer(&data, &count, &flags, &position, &qpc);
        if (hr == AUDCLNT_E_DEVICE_INVALIDATED) return hr;
        if (FAILED(hr) || hr == AUDCLNT_S_BUFFER_EMPTY || !count) return S_OK;
        const UINT32 packet = count;
        // A loopback packet that comes after the silence made up for it (playback resumed
        // just then) keeps only its frames beyond that silence.
        if (bridge.loopback && bridge.position.started() && position < bridge.position.next()) {
            const uint64_t over = bridge.position.next() - position;
            if (over >= count) {
                capture->ReleaseBuffer(packet);
                continue;
            }
            const unsigned width = bridge.packetType == ASIOSTInt16LSB ? 2 : 4;
            if (data) data += over * width * bridge.channels;
            if (qpc) qpc += UINT64(double(over) / bridge.rate * 1e7 + 0.5);
            position += over;
            count -= UINT32(over);
        }
        // A loopback stream that resumes after nothing played says so, and starts where its
        // device is: neither is a loss.
        if ((flags & AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY) && !bridge.firstPacket &&
            !bridge.loopback)
            *lost = true;
        if (bridge.position.onPacket(position, count) && !bridge.loopback) *lost = true;
        bridge.firstPacket = false;
        // The packet's time is its first frame's. Without a time (one the endpoint marks as
        // wrong) the bridge expects one.
        double seconds = -1;
        if (!(flags & AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR) && qpc)
            seconds = bridgeSeconds(bridge, qpc);
        const void* frames = data && !(flags & AUDCLNT_BUFFERFLAGS_SILENT) ? data : nullptr;
        bridge.clocks.captured(bridge.packetType, frames, bridge.channels, count, seconds,
                               bridge.position.skipped());
        capture->ReleaseBuffer(packet);
    }
    return S_OK;
}

void bridgeSilence(CaptureBridge& bridge) {
    UINT64 position = 0, qpc = 0;
    if (!bridge.loopback || !bridge.ownClock || bridge.ownFrequency <= 0 ||
        FAILED(bridge.ownClock->GetPosition(&position, &qpc)) || !qpc)
        return;
    const uint64_t now = uint64_t(double(position) / bridge.ownFrequency * bridge.rate);
    const uint64_t next = bridge.position.started() ? bridge.position.next() : 0;
    const uint64_t period = bridge.packetFrames ? bridge.packetFrames : 1;
    if (now <= next || now - next <= period + period / 2) return;
    const uint64_t missing = now - next;
    const UINT64 at = qpc - UINT64(double(missing) / bridge.rate * 1e7 + 0.5);
    bridge.position.onPacket(next, uint32_t(missing));
    bridge.firstPacket = false;
    bridge.clocks.captured(bridge.packetType, nullptr, bridge.channels, uint32_t(missing),
                           bridgeSeconds(bridge, at), 0);
}

double RenderPeriods::next(uint32_t periodFrames, double rate, double wokeSeconds) {
    UINT64 position = 0, qpc = 0;
    if (!clock || frequency <= 0 || FAILED(clock->GetPosition(&position, &qpc)) || !qpc) return -1;
    const double frames = double(periodFrames);
    const double played = double(position) / frequency * rate;
    start = start < 0 ? frames : start + frames;
    const double ahead =
        (played + (wokeSeconds - double(qpc) * kHundredNs) * rate - start) / frames;
    // Whole periods: a stall may cost several at once, all set right together.
    const int offBy = ahead >= 1 ? int(std::floor(ahead)) : ahead < -0.5 ? -1 : 0;
    if (offBy && lastOffBy && (offBy > 0) == (lastOffBy > 0)) {
        start += (offBy > 0 ? std::min(offBy, lastOffBy) : -1) * frames;
        lastOffBy = 0;
    } else {
        lastOffBy = offBy;
    }
    return double(qpc) + (start - played) / rate * 1e7;
}

void bridgeInput(ASIOSrv* self, CaptureBridge& bridge, uint8_t half, double wokeSeconds) {
    // The start of the render period this pass serves, on the render clock.
    const double began = bridge.periods.next(bridge.frames, bridge.rate, wokeSeconds);
    const double seconds = began < 0 ? -1 : bridgeSeconds(bridge.timeOrigin, began);
    bridge.clocks.render(bridge.out, bridge.frames, seconds);
    const uint32_t first = half ? bridge.frames : 0;
    for (unsigned c = 0; c < bridge.channels; ++c)
        if (void* block = self->asioBuffers[kCapture][bridge.firstChannel + c])
            vl::floatToBlock(self->sampleType[kCapture], bridge.out[c], bridge.frames, block,
                             first);
}

vl::ClockBridge::Config outputBridgeConfig(unsigned channels, uint32_t hostFrames,
                                           uint32_t deviceFrames, double rate) {
    // The host's halves are the bridge's packets, stamped when the first playback device plays
    // them, ahead of the moment they go in; the device's buffer, kept full, is its period,
    // stamped when it plays, as far ahead. The margin covers the two clocks' jitter.
    vl::ClockBridge::Config config = bridgeConfig(channels, deviceFrames, rate, hostFrames);
    return config;
}

double ASIOSrv::outputBridgeTarget(uint32_t bufferFrames, uint32_t deviceFrames, double rate) {
    return vl::ClockBridge::targetFor(outputBridgeConfig(1, bufferFrames, deviceFrames, rate));
}

bool OutputBridge::setup(unsigned streamChannels, uint32_t streamHostFrames,
                         uint32_t streamDeviceFrames, double streamRate, int32_t type) {
    channels = streamChannels;
    hostFrames = streamHostFrames;
    deviceFrames = streamDeviceFrames;
    rate = streamRate > 0 ? streamRate : 48000;
    hostType = type;
    const unsigned width = vl::sampleBytes(type);
    if (!channels || channels > vl::kMaxChannels || !hostFrames || !deviceFrames || !width)
        return false;
    half.reset(new (std::nothrow) uint8_t[size_t(channels) * hostFrames * width]);
    scratch.reset(new (std::nothrow) float[size_t(channels) * deviceFrames]);
    blocks.reset(new (std::nothrow) uint8_t[size_t(channels) * deviceFrames * 4]);
    if (!half || !scratch || !blocks ||
        !clocks.setup(outputBridgeConfig(channels, hostFrames, deviceFrames, rate)))
        return false;
    for (unsigned c = 0; c < channels; ++c)
        out[c] = scratch.get() + size_t(c) * deviceFrames;
    return true;
}

void bridgeOutput(ASIOSrv* self, OutputBridge& bridge, uint8_t half, double playsAt) {
    vl::interleaveFrames(bridge.hostType, &self->asioBuffers[kRender][bridge.firstChannel],
                         bridge.channels, half ? bridge.hostFrames : 0, bridge.hostFrames,
                         bridge.half.get());
    bridge.clocks.captured(bridge.hostType, bridge.half.get(), bridge.channels, bridge.hostFrames,
                           playsAt < 0 ? -1 : bridgeSeconds(bridge.timeOrigin, playsAt));
}

HRESULT bridgeToDevice(OutputBridge& bridge, IAudioClient* client, IAudioRenderClient* render,
                       IAudioClock* clock, double wokeSeconds) {
    // Exclusive, the event asks for the whole buffer, which plays after the one playing now:
    // nothing of this stream is queued ahead of it beyond what the device plays this period,
    // which the offset measured below covers as it covers the engine's pass when shared.
    UINT32 queued = 0;
    if (!bridge.exclusive) {
        HRESULT hr = client->GetCurrentPadding(&queued);
        if (FAILED(hr)) return hr == AUDCLNT_E_DEVICE_INVALIDATED ? hr : S_OK;
        if (queued >= bridge.deviceFrames) return S_OK;
    }
    const UINT32 count = bridge.deviceFrames - queued;
    // When the first frame written now plays: after what is queued ahead of it, from the
    // start of the device's period (its signal woke the thread), and the offset to what the
    // device's position said of the first periods.
    double seconds = -1;
    const double began = bridge.periods.next(bridge.periodFrames, bridge.rate, wokeSeconds);
    if (began >= 0) {
        const double queuedAt = began + double(queued) / bridge.rate * 1e7;
        UINT64 position = 0, qpc = 0;
        if (bridge.timing.count < OutputTiming::kSamples &&
            SUCCEEDED(clock->GetPosition(&position, &qpc)) && qpc) {
            const double played = double(position) / bridge.periods.frequency * bridge.rate;
            bridge.timing.add(double(qpc) + (double(bridge.written) - played) / bridge.rate * 1e7 -
                              queuedAt);
        }
        seconds =
            bridgeSeconds(bridge.timeOrigin, queuedAt + bridge.timing.offset + bridge.playsLater);
    }
    BYTE* data = nullptr;
    HRESULT hr = render->GetBuffer(count, &data);
    if (FAILED(hr) || !data) return hr == AUDCLNT_E_DEVICE_INVALIDATED ? hr : S_OK;
    bridge.clocks.render(bridge.out, count, seconds);
    if (bridge.deviceType == vl::kSampleTypeFloat32LSB) {
        // The engine's mix format: floats, interleaved.
        float* frames = reinterpret_cast<float*>(data);
        for (UINT32 f = 0; f < count; ++f)
            for (unsigned c = 0; c < bridge.channels; ++c)
                *frames++ = bridge.out[c][f];
    } else {
        void* channelBlocks[vl::kMaxChannels] = {};
        const size_t blockBytes = size_t(bridge.deviceFrames) * vl::sampleBytes(bridge.deviceType);
        for (unsigned c = 0; c < bridge.channels; ++c) {
            channelBlocks[c] = bridge.blocks.get() + c * blockBytes;
            vl::floatToBlock(bridge.deviceType, bridge.out[c], count, channelBlocks[c], 0);
        }
        vl::interleaveFrames(bridge.deviceType, channelBlocks, bridge.channels, 0, count, data);
    }
    render->ReleaseBuffer(count, 0);
    bridge.written += count;
    return S_OK;
}
