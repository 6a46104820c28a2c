// Capture on one clock, render on another: captured frames go into a FIFO, and each render
// period takes them out through the adaptive resampler at a ratio chosen so that the input's
// delay, the latency the bridge adds, stays constant. Portable: plain values and buffers, no
// Windows header; the streaming thread feeds it device frames with their times on one time
// base (the performance counter, in seconds from any origin).
//
// Each side's times go through a model of its clock (PeriodClock), fitted to all of them, so
// that the capture clock's count can be read at any instant to a small fraction of a frame
// rather than in steps of a period. Each render period then takes its input from where the
// capture count stood a constant number of render frames before the period's first frame, and
// resamples at the ratio that brings it to where the count stood as long before the next
// period's first frame: the position's error is read every period and taken out over the next
// one. The loop's bandwidth and damping are those of the clock models, which choose them from
// the times themselves.
#pragma once

#include "stream/resampler.h"

#include <cmath>
#include <cstdint>
#include <memory>

namespace vl {

// A clock's time as a smooth function of its frame count, fitted to the jittery times of its
// periods: how many frames the clock had made at any instant, and when it makes a given frame.
//
// Three fits run side by side, each a polynomial fitted by least squares to the times with
// weights that fade exponentially with their age (a fading-memory filter: a delay-locked loop
// of one order more than the polynomial's degree, critically damped, every pole at one over
// the memory): a line over about a minute, for a clock that keeps its rate; a parabola over
// about 8 s, for one whose rate drifts (warming up); a quartic over 0.6 s, for one that wanders
// fast. The clock is read through the smoothest fit that its times do not contradict. Each fit
// but the quartic watches the running mean of its prediction errors: beyond what the times'
// jitter explains, the clock has left that fit's model, and the fit starts again from the
// quartic's state and is not read until it has agreed with the times for a while. A change
// of fit moves the reading by what the two fits differ (nanoseconds, or tens of them where a
// fit had begun to lag), which the bridge's position follows over a period, by its ratio and
// never by a step, as it follows any other move of the reading.
class PeriodClock {
  public:
    static constexpr unsigned kFits = 3;
    // Each fit's polynomial degree and memory (seconds of the nominal clock), smoothest first.
    static constexpr unsigned kDegree[kFits] = {1, 2, 4};
    static constexpr double kMemorySeconds[kFits] = {60.0, 8.0, 0.6};
    static constexpr unsigned kStates = 5; // room for a quartic
    // A fit is contradicted when the running mean of its prediction errors over
    // kLagWindowSeconds leaves kLagToJitter times the spread that the jitter alone gives it. A
    // clock that leaves the fit fast takes it there fast; a shorter window would only follow
    // the slow patterns that rounding to 100 ns makes of some rates' times.
    static constexpr double kLagWindowSeconds = 2.0;
    static constexpr double kLagToJitter = 5.0;
    // The jitter (rms of the fastest fit's prediction errors) is measured over
    // kJitterSeconds, and taken as no less than the rounding of times given in whole units of
    // kResolutionSeconds (endpoints stamp their packets and positions in 100-ns units).
    static constexpr double kJitterSeconds = 4.0;
    static constexpr double kResolutionSeconds = 100e-9;
    // A contradicted fit is not read for kHoldSeconds, twice as long each time it is
    // contradicted again within kMaxHoldSeconds of the last, up to kMaxHoldSeconds.
    static constexpr double kHoldSeconds = 1.0;
    static constexpr double kMaxHoldSeconds = 32.0;
    // The higher terms reach this far beyond the last time; further on, the reading goes on
    // in a straight line (a clock read long after its last time is not extrapolated wildly).
    static constexpr double kReachSeconds = 0.25;

    // A step (a device that paused, or jumped): an interval between two times that departs
    // from the frames' length at the fitted rate by more than kMinStepSeconds (a frame at
    // 48 kHz), plus what a rate kRateSlack off makes of the interval (kSettledRateSlack once
    // the clock has run kSettleSeconds and its rate is known), plus kStepToJitter times the
    // usual departure (times that jitter): the departure a quarter of the intervals exceed, so
    // that the steps themselves do not raise it.
    static constexpr double kMinStepSeconds = 20e-6;
    static constexpr double kRateSlack = 6000e-6;
    static constexpr double kSettledRateSlack = 500e-6;
    static constexpr double kSettleSeconds = 1.0;
    static constexpr double kStepToJitter = 4.0;

    void reset(double nominalSecondsPerFrame);
    // The clock had made `frames` frames in all at `seconds` (measured; negative: unknown).
    // True when the time stepped: the fits then take it as it is, their rates unchanged.
    bool update(uint64_t frames, double seconds);
    // The last step, seconds (positive: the clock paused).
    double lastStep() const { return step_; }
    uint64_t frames() const { return frames_; }
    bool started() const { return started_; }
    // Two times have been fitted: the rate is the clock's, no longer the nominal one.
    bool rateKnown() const { return timed_ >= 2; }
    // Frames made by `seconds`, a fraction of a frame included.
    double framesAt(double seconds) const;
    // When the clock makes frame `frames` (a fraction included).
    double secondsAt(double frames) const;
    // The fitted rate, now.
    double secondsPerFrame() const;
    // The fit read (0, the line, to kFits - 1), and the jitter measured, seconds rms.
    unsigned fit() const { return selected_; }
    double jitterSeconds() const { return std::sqrt(jitter2_); }

  private:
    struct Fit {
        // The time at the last timed frame count and its derivatives by the nominal seconds
        // since then; their covariance in units of the times' variance.
        double x[kStates];
        double p[kStates][kStates];
        double lag;          // running mean of the prediction errors, seconds
        double readableFrom; // nominal seconds
        double hold;         // seconds not read after the next contradiction
        double contradicted; // nominal seconds, when it last was (negative: never)
    };
    double fitSeconds(const Fit& fit, double frames) const;
    double fitSlope(const Fit& fit, double frames) const; // seconds per frame
    void restartFrom(Fit& fit, unsigned degree, const Fit& from, double now);
    static void predict(Fit& fit, unsigned states, double du, double fade);
    // Returns the error of the prediction over its expected spread.
    static double correct(Fit& fit, unsigned states, double seconds);

    // exp(du / memory) of each fit, and the running means' weights, for a step of du.
    struct Weights {
        double du = -1;
        double fade[kFits], lag, jitter;
    };

    Weights weights_;
    bool started_ = false;
    uint64_t frames_ = 0;    // the latest count given
    uint64_t fitFrames_ = 0; // the latest count given with a time: where the fits stand
    double nominal_ = 0;     // seconds per frame at reset
    double lastTime_ = 0;    // the last time given (expected ones included)
    double firstTime_ = 0;
    double step_ = 0;
    double jitter_ = 0;  // the departure a quarter of the intervals exceed, seconds
    double jitter2_ = 0; // the fastest fit's mean square prediction error, seconds squared
    unsigned timed_ = 0; // times fitted since the start
    Fit fits_[kFits] = {};
    unsigned selected_ = 0;
};

// Two clocks' rates compared from their times (each clock's frames, and when it had made
// them): whether they run apart, for streams whose two devices may share a clock or not. A
// reading is believed only when it is plausible and stable: two windows in a row, each free of
// stalls, agree on a difference beyond kApartPpm and within kPlausiblePpm. Times may be coarse
// (a position kept per period, stamped when it was asked for rather than when it was true):
// late stamps only ever add, so each side's rate is fitted through the earliest time in each
// kFloorSeconds, not through every time.
class ClockCompare {
  public:
    // Closer than this, the two are one clock as far as a stream can tell.
    static constexpr double kApartPpm = 50;
    // Crystals stay within about 100 ppm and USB adaptive clocks follow their host's; two real
    // clocks are well inside this, and the bridge corrects far more. A reading beyond it is
    // the measurement's fault, never believed.
    static constexpr double kPlausiblePpm = 1000;
    static constexpr double kWindowSeconds = 2;
    static constexpr double kFloorSeconds = 0.25;
    // Two windows agree within this, or a tenth of the difference, whichever is more.
    static constexpr double kAgreePpm = 20;
    // A side whose earliest times leave the fitted line by this much stepped (a device that
    // paused or jumped): its window is not believed.
    static constexpr double kStepSeconds = 1e-3;

    void reset(double framesPerSecond);
    void capture(uint64_t frames, double seconds) { update(capture_, frames, seconds); }
    void render(uint64_t frames, double seconds) { update(render_, frames, seconds); }
    // A period was lost (a late wake, a packet missing): the windows in progress are dropped.
    void stall();
    // The capture clock's rate against render's, parts per million above 1, of the latest
    // window measured (0 before one).
    double ppm() const { return lastPpm_; }
    bool measured() const { return readings_ > 0; }
    // Believed apart: two windows in a row agreed, plausibly.
    bool apart() const { return apart_; }
    // The latest window read beyond kPlausiblePpm.
    bool implausible() const { return readings_ > 0 && std::fabs(lastPpm_) > kPlausiblePpm; }

  private:
    struct Side {
        double start = -1; // the window in progress: its first time and frames
        double startFrames = 0;
        double floorStart = -1;
        // The earliest departure from the nominal rate in each kFloorSeconds of the window.
        double floorFrames[16] = {}, floorDeparture[16] = {};
        unsigned floors = 0;
        bool clean = true; // no stall in the window in progress
        // The last window closed and not yet compared: its rate, frames per second.
        bool closed = false, closedClean = false;
        double rate = 0;
    };
    void update(Side& side, uint64_t frames, double seconds);
    void closeWindow(Side& side);
    void compareWindows();
    double framesPerSecond_ = 48000;
    Side capture_, render_;
    double lastPpm_ = 0, previousPpm_ = 0;
    unsigned readings_ = 0;
    bool apart_ = false;
};

// Converts samples between the endpoints' types and the bridge's floats: 16-bit, 24 valid bits
// in 32 (the low byte dropped coming in, and written as 0 going out), and, coming in, the
// audio engine's 32-bit floats (kSampleTypeFloat32LSB). Floats beyond [-1, 1) are clipped
// going out.
void interleavedToFloat(int32_t sampleType, const void* frames, unsigned frameChannels,
                        unsigned channel, uint32_t count, float* out);
void floatToBlock(int32_t sampleType, const float* in, uint32_t count, void* block, uint32_t first);

class ClockBridge {
  public:
    struct Config {
        unsigned channels = 2;
        double framesPerSecond = 48000;
        uint32_t capturePeriodFrames = 480; // the longest capture packet
        uint32_t renderPeriodFrames = 480;  // the longest render period
        uint32_t marginFrames = 16;         // beyond what the periods need, for late wakes
    };

    // Allocates the FIFO, the resampler and their buffers; false when memory runs out.
    bool setup(const Config& config);
    // The latency a bridge of that configuration adds (targetFrames), known before it exists.
    static double targetFor(const Config& config);
    // A position this far from where it should be (a clock that stepped by less than its
    // step threshold) moves at once rather than by the ratio.
    static constexpr double kJumpFrames = 16.0;
    // The ratio stays within this of the seed, in parts per million.
    static constexpr double kMaxCorrectionPpm = 8000.0;
    // Locked: the input position within this of where it should be at the last period.
    static constexpr double kLockErrorFrames = 1.0;

    // A new run: no frames, no clocks, the rate taken from the seed (1 unless seeded) until
    // the clocks' times give it.
    void reset();
    // The rate ratio measured beforehand (capture frames per render frame), for the next run.
    void seedRatio(double ratio) { seed_ = ratio; }
    // Capture on render's own clock (one device, or what the render device itself plays), from
    // the next run on: its frames pass through whole, bit for bit, from the whole frame nearest
    // to where the input should be. Should the position still drift kApartFrames from there
    // (the clocks were two after all), the bridge resamples from then on, a resync.
    void passThrough(bool on) { passThrough_ = on; }
    bool passingThrough() const { return exact_; }
    static constexpr double kApartFrames = 2.0;

    // The capture side: `count` frames of `frameChannels` interleaved samples of sampleType
    // (null: silence), whose first frame was captured at `seconds`, after `skipped` frames the
    // device made but never delivered (its position jumped: they become silence in place).
    // Both sides are called from one thread; the times are the devices' (a packet's, a
    // position's), not wake times. A negative time means the device gave none: the clock's
    // expected time stands in for it.
    void captured(int32_t sampleType, const void* frames, unsigned frameChannels, uint32_t count,
                  double seconds, uint64_t skipped = 0);
    // The render side: a period of `count` frames per channel that starts at `seconds`. Until
    // enough has been captured, silence. Allocates, locks and logs nothing.
    void render(float* const* out, uint32_t count, double seconds);

    // The input latency the bridge adds, in render frames: each output frame stands for what
    // capture had made this many render frames before it. The fill, in capture frames, differs
    // from it by the two clocks' difference (two frames at 2000 ppm).
    double targetFrames() const { return target_; }
    // The fill at the last render period, in capture frames, as the clocks' fits give it: from
    // capture's count at the period's first frame to the input position of that frame.
    double lastFillFrames() const { return lastFill_; }
    // How far the input position was from where it should be at the last render period, in
    // capture frames, before that period's ratio took it out (or a jump, beyond kJumpFrames).
    double lastErrorFrames() const { return lastError_; }
    // The capture frame, a fraction included, that the next render period's first output
    // frame stands for.
    double inputPosition() const { return double(read_) + (exact_ ? 0 : resampler_.position()); }
    bool running() const { return running_; }
    bool locked() const { return running_ && std::fabs(lastError_) <= kLockErrorFrames; }
    // The ratio of the last period.
    double ratio() const { return ratio_; }
    // The two clocks' rates' ratio as their fits give it, as parts per million above 1:
    // positive when capture runs fast.
    double ratioPpm() const;
    const PeriodClock& captureClock() const { return captureClock_; }
    const PeriodClock& renderClock() const { return renderClock_; }
    // Frames the render side found missing (played as silence); frames the capture side had
    // to drop because the render side stopped taking; capture frames that never came, put in
    // as silence; and how often the position jumped back to its target (after render periods
    // the device played without this side, a clock's time that stepped, or a position found far
    // from its target).
    uint64_t underrunFrames() const { return underrun_; }
    uint64_t overrunFrames() const { return overrun_; }
    uint64_t lostFrames() const { return lost_; }
    uint32_t resyncs() const { return resyncs_; }

  private:
    void append(int32_t sampleType, const void* frames, unsigned frameChannels, uint64_t count);
    bool start(double position);
    bool startExact(double position);
    void read(uint32_t count, float* const* out);

    Config config_;
    double target_ = 0;
    double resyncFrames_ = 0;
    double seed_ = 1;
    Resampler resampler_;
    PeriodClock captureClock_, renderClock_;
    std::unique_ptr<float[]> fifo_;    // per channel: capacity_ frames
    std::unique_ptr<float[]> history_; // per channel: the resampler's first history
    uint32_t capacity_ = 0;            // a power of two
    uint64_t written_ = 0, read_ = 0;  // frames in all, counted from the run's first
    uint64_t rendered_ = 0;
    double lastFill_ = 0, lastError_ = 0;
    double ratio_ = 1;
    bool running_ = false;
    bool stepped_ = false; // a clock's time stepped since the last render period
    bool passThrough_ = false, exact_ = false; // asked for; passing through in this run
    uint64_t underrun_ = 0, overrun_ = 0, lost_ = 0;
    uint32_t resyncs_ = 0;
};

} // namespace vl
