#include "stream/clockbridge.h"

#include "endpoint/formats.h"
#include "stream/convert.h"

#include <cmath>
#include <cstring>
#include <initializer_list>
#include <new>

namespace vl {

namespace {

constexpr double kTwoPi = 6.28318530717958647692;

} // namespace

// ---- PeriodClock

void PeriodClock::reset(double nominalSecondsPerFrame) {
    started_ = false;
    jitter_ = 0;
    frames_ = 0;
    seconds_ = 0;
    secondsPerFrame_ = nominalSecondsPerFrame;
    bandwidthHz_ = kLockBandwidthHz;
}

bool PeriodClock::update(uint64_t frames, double seconds) {
    if (!(seconds >= 0)) {
        // No time given: the one expected, which leaves the loop as it was.
        if (!started_ || frames <= frames_) return false;
        const double expected = double(frames - frames_) * secondsPerFrame_;
        seconds_ += expected;
        lastTime_ += expected;
        frames_ = frames;
        return false;
    }
    if (!started_) {
        started_ = true;
        frames_ = frames;
        seconds_ = lastTime_ = firstTime_ = seconds;
        return false;
    }
    if (frames <= frames_) return false;
    const double n = double(frames - frames_);
    const double predicted = seconds_ + n * secondsPerFrame_;
    // A step moves the loop's time by as much, its rate untouched.
    const double departure = seconds - lastTime_ - n * secondsPerFrame_;
    const double threshold =
        kMinStepSeconds +
        (seconds - firstTime_ < kSettleSeconds ? kRateSlack : kSettledRateSlack) * n *
            secondsPerFrame_ +
        kStepToJitter * jitter_;
    lastTime_ = seconds;
    // Up three times as fast as down: it settles where a quarter of the departures lie above.
    const double stride = threshold / 64;
    jitter_ =
        std::fabs(departure) > jitter_ ? jitter_ + stride : std::fmax(0.0, jitter_ - stride / 3);
    step_ = 0;
    if (std::fabs(departure) > threshold) {
        step_ = departure;
        seconds_ = predicted + departure;
        frames_ = frames;
        return true;
    }
    const double error = seconds - predicted;
    // The loop's gains for this step, from its bandwidth as a fraction of the step's length.
    double w = kTwoPi * bandwidthHz_ * n * secondsPerFrame_;
    if (w > 0.5) w = 0.5;
    seconds_ = predicted + std::sqrt(2.0) * w * error;
    secondsPerFrame_ += w * w * error / n;
    frames_ = frames;
    return false;
}

double PeriodClock::framesAt(double seconds) const {
    return double(frames_) + (seconds - seconds_) / secondsPerFrame_;
}

// ---- ClockCompare

void ClockCompare::reset(double framesPerSecond) {
    framesPerSecond_ = framesPerSecond > 0 ? framesPerSecond : 48000;
    capture_ = Side();
    render_ = Side();
    lastPpm_ = previousPpm_ = 0;
    readings_ = 0;
    apart_ = false;
}

void ClockCompare::stall() {
    capture_.clean = render_.clean = false;
}

void ClockCompare::update(Side& side, uint64_t frames, double seconds) {
    if (!(seconds >= 0)) return;
    static_assert(kWindowSeconds / kFloorSeconds < 16, "a window's floors fit its arrays");
    if (side.start < 0 || double(frames) < side.startFrames) {
        side.start = side.floorStart = seconds;
        side.startFrames = double(frames);
        side.floorFrames[0] = side.floorDeparture[0] = 0;
        side.floors = 1;
        side.clean = true;
        return;
    }
    const double relFrames = double(frames) - side.startFrames;
    const double departure = (seconds - side.start) - relFrames / framesPerSecond_;
    if (seconds - side.floorStart >= kFloorSeconds && side.floors < 16) {
        side.floorStart = seconds;
        side.floorFrames[side.floors] = relFrames;
        side.floorDeparture[side.floors] = departure;
        ++side.floors;
    } else if (departure < side.floorDeparture[side.floors - 1]) {
        side.floorFrames[side.floors - 1] = relFrames;
        side.floorDeparture[side.floors - 1] = departure;
    }
    if (seconds - side.start >= kWindowSeconds) {
        closeWindow(side);
        compareWindows();
        side.start = -1; // the next window starts with the next time
    }
}

void ClockCompare::closeWindow(Side& side) {
    // The line through each span's earliest departure: its slope is how far the clock's
    // seconds a frame stray from the nominal ones.
    const unsigned n = side.floors;
    side.closed = true;
    side.closedClean = false;
    if (!side.clean || n < 4) return;
    double mx = 0, my = 0;
    for (unsigned i = 0; i < n; ++i)
        mx += side.floorFrames[i], my += side.floorDeparture[i];
    mx /= n;
    my /= n;
    double sxx = 0, sxy = 0;
    for (unsigned i = 0; i < n; ++i) {
        const double dx = side.floorFrames[i] - mx;
        sxx += dx * dx;
        sxy += dx * (side.floorDeparture[i] - my);
    }
    if (!(sxx > 0)) return;
    const double slope = sxy / sxx;
    for (unsigned i = 0; i < n; ++i)
        if (std::fabs(side.floorDeparture[i] - (my + slope * (side.floorFrames[i] - mx))) >
            kStepSeconds)
            return;
    side.rate = 1 / (1 / framesPerSecond_ + slope);
    side.closedClean = side.rate > 0;
}

void ClockCompare::compareWindows() {
    if (!capture_.closed || !render_.closed) return;
    const bool clean = capture_.closedClean && render_.closedClean;
    capture_.closed = render_.closed = false;
    if (!clean) {
        readings_ = 0; // the chain of agreeing windows starts again
        return;
    }
    previousPpm_ = lastPpm_;
    lastPpm_ = (capture_.rate / render_.rate - 1) * 1e6;
    ++readings_;
    const double a = lastPpm_, b = previousPpm_;
    const bool plausible = std::fabs(a) > kApartPpm && std::fabs(a) <= kPlausiblePpm &&
                           std::fabs(b) > kApartPpm && std::fabs(b) <= kPlausiblePpm &&
                           (a > 0) == (b > 0);
    const double agree = std::fmax(kAgreePpm, 0.1 * std::fabs(a));
    if (readings_ >= 2 && plausible && std::fabs(a - b) <= agree) apart_ = true;
}

// ---- RateLoop

void RateLoop::reset(double framesPerSecond, double seed) {
    framesPerSecond_ = framesPerSecond > 0 ? framesPerSecond : 48000;
    seed_ = seed >= Resampler::kMinRatio && seed <= Resampler::kMaxRatio ? seed : 1;
    integral_ = 0;
    ratio_ = seed_;
    restart();
}

void RateLoop::restart() {
    error_ = 0;
    quietSeconds_ = 0;
    lockingSeconds_ = 0;
    locked_ = false;
    kp_ = 0;
    setBandwidth(kLockBandwidthHz);
}

// The gains of a loop with natural frequency w and damping z on a fill that moves by
// framesPerSecond frames per second per unit of ratio: kp = 2 z w / fps, ki = w^2 / fps. The
// integral takes up the change of kp, so that the ratio does not move when the bandwidth does.
void RateLoop::setBandwidth(double hz) {
    const double w = kTwoPi * hz;
    const double kp = 2 * kDamping * w / framesPerSecond_;
    integral_ += (kp_ - kp) * error_;
    kp_ = kp;
    ki_ = w * w / framesPerSecond_;
    bandwidthHz_ = hz;
}

double RateLoop::update(double errorFrames, double periodSeconds) {
    const double maxCorrection = kMaxCorrectionPpm * 1e-6;
    const double smoothing =
        1 - std::exp(-kTwoPi * kErrorFilterToBandwidth * bandwidthHz_ * periodSeconds);
    error_ += smoothing * (errorFrames - error_);
    integral_ += ki_ * error_ * periodSeconds;
    if (integral_ > maxCorrection) integral_ = maxCorrection;
    if (integral_ < -maxCorrection) integral_ = -maxCorrection;
    double correction = kp_ * error_ + integral_;
    if (correction > maxCorrection) correction = maxCorrection;
    if (correction < -maxCorrection) correction = -maxCorrection;
    ratio_ = seed_ * (1 + correction);

    quietSeconds_ = std::fabs(error_) <= kLockErrorFrames ? quietSeconds_ + periodSeconds : 0;
    lockingSeconds_ = locked_ ? 0 : lockingSeconds_ + periodSeconds;
    if (!locked_ && (quietSeconds_ >= kLockHoldSeconds || lockingSeconds_ >= kLockLongestSeconds)) {
        locked_ = true;
        setBandwidth(kTrackBandwidthHz);
    } else if (locked_ && std::fabs(error_) > kUnlockErrorFrames) {
        locked_ = false;
        setBandwidth(kLockBandwidthHz);
    }
    return ratio_;
}

// ---- sample conversion

void interleavedToFloat(int32_t sampleType, const void* frames, unsigned frameChannels,
                        unsigned channel, uint32_t count, float* out) {
    if (!frames || channel >= frameChannels) sampleType = 0;
    if (sampleType == kSampleTypeInt16LSB) {
        const int16_t* s = static_cast<const int16_t*>(frames) + channel;
        for (uint32_t i = 0; i < count; ++i)
            out[i] = float(s[size_t(i) * frameChannels]) * (1.0f / 32768.0f);
    } else if (sampleType == kSampleTypeInt32LSB) {
        const uint32_t* s = static_cast<const uint32_t*>(frames) + channel;
        for (uint32_t i = 0; i < count; ++i)
            out[i] = float(int32_t(s[size_t(i) * frameChannels] & kValid24Mask)) *
                     (1.0f / 2147483648.0f);
    } else if (sampleType == kSampleTypeFloat32LSB) {
        const float* s = static_cast<const float*>(frames) + channel;
        for (uint32_t i = 0; i < count; ++i)
            out[i] = s[size_t(i) * frameChannels];
    } else {
        memset(out, 0, count * sizeof(float));
    }
}

void floatToBlock(int32_t sampleType, const float* in, uint32_t count, void* block,
                  uint32_t first) {
    auto clip = [](float x) { return x > 1.0f ? 1.0f : x >= -1.0f ? x : -1.0f; };
    if (sampleType == kSampleTypeInt16LSB) {
        int16_t* d = static_cast<int16_t*>(block) + first;
        for (uint32_t i = 0; i < count; ++i) {
            long v = std::lrint(clip(in[i]) * 32768.0f);
            d[i] = int16_t(v > 32767 ? 32767 : v);
        }
    } else if (sampleType == kSampleTypeInt32LSB) {
        uint32_t* d = static_cast<uint32_t*>(block) + first;
        for (uint32_t i = 0; i < count; ++i) {
            long v = std::lrint(double(clip(in[i])) * 8388608.0);
            d[i] = uint32_t(int32_t(v > 8388607 ? 8388607 : v)) << 8;
        }
    }
}

// ---- ClockBridge

double ClockBridge::targetFor(const Config& config) {
    // The fill must cover, at the moment a render period starts: the capture period that has
    // been made but not yet delivered, the input the period's output takes, the resampler's
    // look-ahead and one frame more for the fraction, and the margin.
    return double(config.capturePeriodFrames) + Resampler::maxInputFor(config.renderPeriodFrames) +
           Resampler::kHalfTaps + 1 + config.marginFrames;
}

bool ClockBridge::setup(const Config& config) {
    config_ = config;
    fifo_.reset();
    history_.reset();
    if (config.channels == 0 || config.channels > kMaxChannels || config.framesPerSecond <= 0)
        return false;
    if (!resampler_.setup(config.channels, config.renderPeriodFrames)) return false;
    target_ = targetFor(config);
    resyncFrames_ = double(config.capturePeriodFrames) + config.renderPeriodFrames;
    const double need = 2 * (target_ + config.capturePeriodFrames + resampler_.maxInputFrames());
    capacity_ = 1024;
    while (capacity_ < need && capacity_ < (1u << 24))
        capacity_ *= 2;
    fifo_.reset(new (std::nothrow) float[size_t(capacity_) * config.channels]);
    history_.reset(new (std::nothrow) float[size_t(Resampler::kTaps) * config.channels]);
    if (!fifo_ || !history_) {
        fifo_.reset();
        history_.reset();
        return false;
    }
    reset();
    return true;
}

void ClockBridge::reset() {
    written_ = read_ = rendered_ = 0;
    lastFill_ = 0;
    running_ = false;
    stepped_ = false;
    underrun_ = overrun_ = lost_ = 0;
    resyncs_ = 0;
    loop_.reset(config_.framesPerSecond, seed_);
    captureClock_.reset(1 / (config_.framesPerSecond * loop_.ratio()));
    renderClock_.reset(1 / config_.framesPerSecond);
}

void ClockBridge::captured(int32_t sampleType, const void* frames, unsigned frameChannels,
                           uint32_t count, double seconds, uint64_t skipped) {
    if (!fifo_ || count == 0) return;
    if (captureClock_.started() && skipped) {
        // Frames the device made but never delivered: silence in their place, so that
        // everything after them keeps its position.
        lost_ += skipped;
        append(0, nullptr, 0, skipped);
    }
    append(sampleType, frames, frameChannels, count);
    if (captureClock_.update(written_, seconds)) stepped_ = true;
}

void ClockBridge::append(int32_t sampleType, const void* frames, unsigned frameChannels,
                         uint64_t count) {
    const uint64_t first = written_;
    written_ += count;
    // Frames the render side has already passed (played as silence) come too late.
    uint64_t from = first > read_ ? first : read_;
    if (written_ > read_ && written_ - read_ > capacity_) {
        // A render side that stopped taking: the oldest frames go.
        if (running_) overrun_ += written_ - read_ - capacity_;
        read_ = written_ - capacity_;
        if (from < read_) from = read_;
    }
    const uint32_t mask = capacity_ - 1;
    while (from < written_) {
        const uint32_t at = uint32_t(from & mask);
        const uint32_t n =
            uint32_t(written_ - from < capacity_ - at ? written_ - from : capacity_ - at);
        const uint8_t* src = static_cast<const uint8_t*>(frames);
        if (src) src += size_t(from - first) * frameChannels * sampleBytes(sampleType);
        for (unsigned ch = 0; ch < config_.channels; ++ch)
            interleavedToFloat(sampleType, src, frameChannels, ch, n,
                               fifo_.get() + size_t(ch) * capacity_ + at);
        from += n;
    }
}

void ClockBridge::read(uint32_t count, float* const* out) {
    const uint64_t end = read_ + count;
    const uint64_t real = written_ < end ? written_ : end;
    const uint32_t mask = capacity_ - 1;
    uint32_t done = 0;
    for (uint64_t at = read_; at < real;) {
        const uint32_t i = uint32_t(at & mask);
        const uint32_t n = uint32_t(real - at < capacity_ - i ? real - at : capacity_ - i);
        for (unsigned ch = 0; ch < config_.channels; ++ch)
            memcpy(out[ch] + done, fifo_.get() + size_t(ch) * capacity_ + i, n * sizeof(float));
        done += n;
        at += n;
    }
    if (done < count) {
        for (unsigned ch = 0; ch < config_.channels; ++ch)
            memset(out[ch] + done, 0, (count - done) * sizeof(float));
        underrun_ += count - done;
    }
    read_ = end;
}

// Puts the resampler's next output at `target_` frames behind the capture clock's count,
// its history taken from the FIFO. False while the FIFO does not hold that history.
bool ClockBridge::start(double captureFrames) {
    const double at = captureFrames - target_;
    if (at < Resampler::kHalfTaps) return false;
    const double whole = std::floor(at);
    const uint64_t first = uint64_t(whole) - Resampler::kHalfTaps;
    if (first + Resampler::kTaps > written_ || written_ - first > capacity_) return false;
    float* history[kMaxChannels];
    for (unsigned ch = 0; ch < config_.channels; ++ch)
        history[ch] = history_.get() + size_t(ch) * Resampler::kTaps;
    read_ = first;
    read(Resampler::kTaps, history);
    resampler_.reset(history, at - whole);
    running_ = true;
    return true;
}

void ClockBridge::render(float* const* out, uint32_t count, double seconds) {
    // Whole periods the device played while this side was not called: counted as played,
    // and the position jumps to where they would have left it.
    bool missed = false;
    if (renderClock_.started() && count > 0 && seconds >= 0) {
        const double missing = renderClock_.framesAt(seconds) - double(rendered_);
        if (missing >= count / 2.0) {
            rendered_ += uint64_t(missing / count + 0.5) * count;
            missed = true;
        }
    }
    if (renderClock_.update(rendered_, seconds)) stepped_ = true;
    const double now = renderClock_.lastSeconds();
    rendered_ += count;
    bool play = fifo_ && count <= config_.renderPeriodFrames && captureClock_.started();
    double made = play ? captureClock_.framesAt(now) : 0;
    if (play && !running_) play = start(made);
    if (play) {
        lastFill_ = made - (double(read_) + resampler_.position());
        // Once locked, the fill stays within a frame or so of its target; a clock that stepped
        // or a fill that left the target by much more moved the input at once, and the
        // position follows at once too rather than by a slow change of the ratio.
        const double error = std::fabs(lastFill_ - target_);
        const bool lost = error > resyncFrames_;
        const bool moved =
            !missed && (stepped_ || (loop_.locked() && error > RateLoop::kUnlockErrorFrames));
        stepped_ = false;
        if (missed || lost || moved) {
            ++resyncs_;
            // Far from the target for no known reason (a stall, a clock's count cut
            // short): locking starts again from the ratio found so far. A clock that stepped
            // leaves the ratio as it was.
            if (lost && !missed) loop_.restart();
            // Without the input the target needs yet (capture still catching up after a
            // stall), silence until it has come, the loop left as it is.
            if (!start(made)) {
                running_ = false;
                play = false;
            } else {
                lastFill_ = made - (double(read_) + resampler_.position());
            }
        }
    }
    if (play) {
        const double ratio = loop_.update(lastFill_ - target_, count / config_.framesPerSecond);
        const double clockHz =
            loop_.locked() ? PeriodClock::kTrackBandwidthHz : PeriodClock::kLockBandwidthHz;
        captureClock_.setBandwidth(clockHz);
        renderClock_.setBandwidth(clockHz);
        const uint32_t n = resampler_.inputFrames(ratio, count);
        float* in[kMaxChannels];
        for (unsigned ch = 0; ch < config_.channels; ++ch)
            in[ch] = resampler_.input(ch);
        read(n, in);
        resampler_.process(ratio, out, count);
        return;
    }
    for (unsigned ch = 0; ch < config_.channels; ++ch)
        memset(out[ch], 0, count * sizeof(float));
}

} // namespace vl
