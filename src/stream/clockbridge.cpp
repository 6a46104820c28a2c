#include "stream/clockbridge.h"

#include "endpoint/formats.h"
#include "stream/convert.h"

#include <cmath>
#include <cstring>
#include <initializer_list>
#include <new>

namespace vl {

// ---- PeriodClock

namespace {

// Prior spreads of a fit's terms at the start, in units of a time's spread (the fits'
// covariances are in units of the times' variance), taken as a microsecond: so wide that the
// first times alone decide, as least squares without a prior would.
constexpr double kPriorUnitSeconds = 1e-6;
constexpr double kPriorSpread[PeriodClock::kStates] = {
    1.0, 1 / kPriorUnitSeconds, 1e-2 / kPriorUnitSeconds, 1e-2 / kPriorUnitSeconds,
    1e-2 / kPriorUnitSeconds};

// The polynomial's value at h (nominal seconds from its reference), with its higher terms
// reaching no further than `reach` either way and a straight line beyond.
double polynomial(const double* x, unsigned states, double h, double reach) {
    const double near = h > reach ? reach : h < -reach ? -reach : h;
    double value = x[0] + x[1] * h, slope = 0;
    double power = near * near / 2, dpower = near;
    for (unsigned k = 2; k < states; ++k) {
        value += x[k] * power;
        slope += x[k] * dpower;
        dpower = power;
        power *= near / double(k + 1);
    }
    return value + slope * (h - near);
}

double polynomialSlope(const double* x, unsigned states, double h, double reach) {
    const double near = h > reach ? reach : h < -reach ? -reach : h;
    double slope = x[1], dpower = near;
    for (unsigned k = 2; k < states; ++k) {
        slope += x[k] * dpower;
        dpower *= near / double(k);
    }
    return slope;
}

} // namespace

// Times fitted before the fits are judged: the fastest fit's jitter measured from a few.
constexpr unsigned kSettleTimes = 24;

constexpr unsigned PeriodClock::kDegree[];
constexpr double PeriodClock::kMemorySeconds[];

void PeriodClock::reset(double nominalSecondsPerFrame) {
    started_ = false;
    jitter_ = 0;
    jitter2_ = 0;
    frames_ = fitFrames_ = 0;
    nominal_ = nominalSecondsPerFrame > 0 ? nominalSecondsPerFrame : 1 / 48000.0;
    step_ = 0;
    timed_ = 0;
    selected_ = 0;
}

double PeriodClock::fitSeconds(const Fit& fit, double frames) const {
    const unsigned f = unsigned(&fit - fits_);
    return polynomial(fit.x, kDegree[f] + 1, (frames - double(fitFrames_)) * nominal_,
                      kReachSeconds);
}

double PeriodClock::fitSlope(const Fit& fit, double frames) const {
    const unsigned f = unsigned(&fit - fits_);
    return polynomialSlope(fit.x, kDegree[f] + 1, (frames - double(fitFrames_)) * nominal_,
                           kReachSeconds) *
           nominal_;
}

double PeriodClock::secondsAt(double frames) const {
    return fitSeconds(fits_[selected_], frames);
}

double PeriodClock::framesAt(double seconds) const {
    // Newton's method on the reading, from the fit's own straight line.
    const Fit& fit = fits_[selected_];
    double frames = double(fitFrames_) + (seconds - fit.x[0]) / (fit.x[1] * nominal_);
    for (int i = 0; i < 3; ++i)
        frames += (seconds - secondsAt(frames)) / fitSlope(fit, frames);
    return frames;
}

double PeriodClock::secondsPerFrame() const {
    return fits_[selected_].x[1] * nominal_;
}

void PeriodClock::restartFrom(Fit& fit, unsigned degree, const Fit& from, double now) {
    for (unsigned i = 0; i <= degree; ++i) {
        fit.x[i] = from.x[i];
        for (unsigned j = 0; j <= degree; ++j)
            fit.p[i][j] = from.p[i][j];
    }
    fit.lag = 0;
    fit.hold = fit.contradicted >= 0 && now - fit.contradicted < kMaxHoldSeconds
                   ? std::fmin(2 * fit.hold, kMaxHoldSeconds)
                   : kHoldSeconds;
    fit.contradicted = now;
    fit.readableFrom = now + fit.hold;
}

void PeriodClock::predict(Fit& fit, unsigned states, double du, double fade) {
    // The polynomial moved du on, its covariance with it, the whole inflated by `fade` so that
    // older times weigh less by exp(-age / memory).
    double m[kStates][kStates] = {}, q[kStates][kStates] = {};
    for (unsigned i = 0; i < states; ++i) {
        double c = 1;
        for (unsigned j = i; j < states; ++j) {
            m[i][j] = c;
            c *= du / double(j - i + 1);
        }
    }
    double x[kStates] = {};
    for (unsigned i = 0; i < states; ++i)
        for (unsigned j = i; j < states; ++j)
            x[i] += m[i][j] * fit.x[j];
    for (unsigned i = 0; i < states; ++i) {
        fit.x[i] = x[i];
        for (unsigned j = 0; j < states; ++j)
            for (unsigned k = i; k < states; ++k)
                q[i][j] += m[i][k] * fit.p[k][j];
    }
    for (unsigned i = 0; i < states; ++i)
        for (unsigned j = 0; j < states; ++j) {
            double v = 0;
            for (unsigned k = j; k < states; ++k)
                v += q[i][k] * m[j][k];
            fit.p[i][j] = v * fade;
        }
}

double PeriodClock::correct(Fit& fit, unsigned states, double seconds) {
    // Least squares' weighting of the new time against the prediction; the error's variance
    // (the prediction's spread and the time's own), in units of the times' variance, is left
    // in fit.p[0][0] + 1 before the correction.
    const double error = seconds - fit.x[0];
    const double s = fit.p[0][0] + 1;
    double gain[kStates], p0[kStates];
    for (unsigned i = 0; i < states; ++i) {
        gain[i] = fit.p[i][0] / s;
        p0[i] = fit.p[0][i];
        fit.x[i] += gain[i] * error;
    }
    for (unsigned i = 0; i < states; ++i)
        for (unsigned j = 0; j <= i; ++j)
            fit.p[i][j] = fit.p[j][i] = fit.p[i][j] - gain[i] * p0[j];
    return error / std::sqrt(s);
}

bool PeriodClock::update(uint64_t frames, double seconds) {
    if (!(seconds >= 0)) {
        // No time given: the one expected, which leaves the fits as they were.
        if (!started_ || frames <= frames_) return false;
        lastTime_ += double(frames - frames_) * secondsPerFrame();
        frames_ = frames;
        return false;
    }
    if (!started_) {
        started_ = true;
        frames_ = fitFrames_ = frames;
        lastTime_ = firstTime_ = seconds;
        timed_ = 1;
        for (Fit& fit : fits_) {
            fit = Fit();
            fit.x[0] = seconds;
            fit.x[1] = 1;
            for (unsigned i = 0; i < kStates; ++i)
                fit.p[i][i] = kPriorSpread[i] * kPriorSpread[i];
            fit.hold = kHoldSeconds;
            fit.contradicted = -1;
        }
        return false;
    }
    if (frames <= frames_) return false;
    const double n = double(frames - frames_);
    // A step moves the fits' time by as much, their rates untouched.
    const double departure = seconds - lastTime_ - n * secondsPerFrame();
    const double threshold =
        kMinStepSeconds +
        (seconds - firstTime_ < kSettleSeconds ? kRateSlack : kSettledRateSlack) * n * nominal_ +
        kStepToJitter * jitter_;
    lastTime_ = seconds;
    // Up three times as fast as down: it settles where a quarter of the departures lie above.
    const double stride = threshold / 64;
    jitter_ =
        std::fabs(departure) > jitter_ ? jitter_ + stride : std::fmax(0.0, jitter_ - stride / 3);
    step_ = 0;

    // The weights of this step's length: the same from one packet to the next of a stream.
    const double du = double(frames - fitFrames_) * nominal_;
    const double now = double(frames) * nominal_;
    if (du != weights_.du) {
        weights_.du = du;
        for (unsigned f = 0; f < kFits; ++f)
            weights_.fade[f] = std::exp(du / kMemorySeconds[f]);
        weights_.lag = 1 - std::exp(-du / kLagWindowSeconds);
        weights_.jitter = 1 - std::exp(-du / kJitterSeconds);
    }
    fitFrames_ = frames_ = frames;
    if (std::fabs(departure) > threshold) {
        step_ = departure;
        for (unsigned f = 0; f < kFits; ++f) {
            predict(fits_[f], kDegree[f] + 1, du, weights_.fade[f]);
            fits_[f].x[0] = seconds;
            fits_[f].lag = 0;
        }
        return true;
    }

    ++timed_;
    for (unsigned f = 0; f < kFits; ++f) {
        Fit& fit = fits_[f];
        const unsigned states = kDegree[f] + 1;
        predict(fit, states, du, weights_.fade[f]);
        const double error = seconds - fit.x[0];
        const double normalized = correct(fit, states, seconds);
        if (f == kFits - 1 && timed_ > 2 * states) {
            // The jitter, from the fit that lags least: the mean square of its errors less
            // what its own spread adds, over kJitterSeconds (all of them, at first), never
            // finer than the times' own rounding.
            const double w = std::fmax(1.0 / double(timed_ - 2 * states), weights_.jitter);
            jitter2_ += w * (normalized * normalized - jitter2_);
            jitter2_ = std::fmax(jitter2_, kResolutionSeconds * kResolutionSeconds / 12);
        }
        // The running mean of its errors, from when the first times' rate has been found.
        if (timed_ > kSettleTimes / 2) fit.lag += weights_.lag * (error - fit.lag);
    }
    // Fits the times contradict start again from the fastest fit's state.
    if (timed_ > kSettleTimes) {
        const double w = weights_.lag;
        const double limit = kLagToJitter * std::sqrt(jitter2_ * w / (2 - w));
        for (unsigned f = 0; f + 1 < kFits; ++f)
            if (std::fabs(fits_[f].lag) > limit)
                restartFrom(fits_[f], kDegree[f], fits_[kFits - 1], now);
    }
    // The smoothest fit that may be read.
    selected_ = 0;
    while (selected_ + 1 < kFits && now < fits_[selected_].readableFrom)
        ++selected_;
    return false;
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
    // look-ahead and one frame more for the fraction, and the margin (which also covers a
    // capture clock slower than render's: the latency is held in render frames, and the fill
    // in capture frames is that much shorter, 8 frames at 8000 ppm).
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
    lastFill_ = lastError_ = 0;
    running_ = false;
    stepped_ = false;
    exact_ = passThrough_;
    underrun_ = overrun_ = lost_ = 0;
    resyncs_ = 0;
    if (!(seed_ >= Resampler::kMinRatio && seed_ <= Resampler::kMaxRatio)) seed_ = 1;
    ratio_ = seed_;
    captureClock_.reset(1 / (config_.framesPerSecond * seed_));
    renderClock_.reset(1 / config_.framesPerSecond);
}

double ClockBridge::ratioPpm() const {
    if (!captureClock_.started() || !renderClock_.started()) return (seed_ - 1) * 1e6;
    return (renderClock_.secondsPerFrame() / captureClock_.secondsPerFrame() - 1) * 1e6;
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
    if (captureClock_.update(written_ - count, seconds)) stepped_ = true;
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

// Puts the resampler's next output at capture frame `position`, its history taken from the
// FIFO. False while the FIFO does not hold that history.
bool ClockBridge::start(double position) {
    if (position < Resampler::kHalfTaps) return false;
    const double whole = std::floor(position);
    const uint64_t first = uint64_t(whole) - Resampler::kHalfTaps;
    if (first + Resampler::kTaps > written_ || written_ - first > capacity_) return false;
    float* history[kMaxChannels];
    for (unsigned ch = 0; ch < config_.channels; ++ch)
        history[ch] = history_.get() + size_t(ch) * Resampler::kTaps;
    read_ = first;
    read(Resampler::kTaps, history);
    resampler_.reset(history, position - whole);
    running_ = true;
    return true;
}

// Passing through: the next period starts at the whole capture frame nearest `position`. False
// while the clock has not made that frame's period yet.
bool ClockBridge::startExact(double position) {
    if (position < 0) return false;
    read_ = uint64_t(std::llround(position));
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
    // Each output frame stands for what capture had made target_ render frames before it, so
    // that the delay is the same in time however capture's rate moves: the period's first
    // frame and the next period's, so delayed, on the render clock's fit.
    const double first = double(rendered_);
    const double from = renderClock_.secondsAt(first - target_);
    const double to = renderClock_.secondsAt(first + count - target_);
    const double now = renderClock_.secondsAt(first);
    rendered_ += count;
    bool play = fifo_ && count <= config_.renderPeriodFrames && captureClock_.started();
    const double want = play ? captureClock_.framesAt(from) : 0;
    // The input starts where both clocks' rates are known, not from the nominal ones.
    if (play && !running_)
        play = captureClock_.rateKnown() && renderClock_.rateKnown() &&
               (exact_ ? startExact(want) : start(want));
    if (play) {
        // The position stays within a small fraction of a frame of where it should be; a
        // clock that stepped or a position found further off moved the input at once, and the
        // position follows at once too rather than by a change of the ratio. Passing
        // through, it stays on whole frames, and drifting from there means two clocks.
        lastError_ = want - inputPosition();
        const double error = std::fabs(lastError_);
        const bool lost = error > resyncFrames_;
        const bool moved = !missed && (stepped_ || error > kJumpFrames);
        const bool apart = exact_ && !missed && !lost && !moved && error > kApartFrames;
        stepped_ = false;
        if (apart) exact_ = false;
        if (missed || lost || moved || apart) {
            ++resyncs_;
            // Without the input that needs yet (capture still catching up after a stall),
            // silence until it has come.
            if (!(exact_ ? startExact(want) : start(want))) {
                running_ = false;
                play = false;
            }
        }
    }
    if (play && exact_) {
        lastFill_ = captureClock_.framesAt(now) - double(read_);
        ratio_ = 1;
        read(count, out);
        return;
    }
    if (play) {
        // The ratio that brings the input position to where it should be at the next
        // period's first frame: this period's error is gone by the next.
        const double position = double(read_) + resampler_.position();
        lastFill_ = captureClock_.framesAt(now) - position;
        const double most = kMaxCorrectionPpm * 1e-6;
        double ratio = (captureClock_.framesAt(to) - position) / double(count ? count : 1);
        if (ratio > seed_ * (1 + most)) ratio = seed_ * (1 + most);
        if (ratio < seed_ * (1 - most)) ratio = seed_ * (1 - most);
        ratio_ = ratio;
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
