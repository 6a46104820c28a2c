// Capture on one clock, render on another: captured frames go into a FIFO, and each render
// period takes them out through the adaptive resampler at a ratio that a control loop steers so
// that the FIFO's fill, and with it the input latency, stays at a constant target. Portable:
// plain values and buffers, no Windows header; the streaming thread feeds it device frames with
// their times on one time base (the performance counter, in seconds).
//
// The loop follows the classic scheme for two audio clocks: each side's period times go
// through a delay-locked loop of their own, so that the capture side's frame count can be read
// at any instant rather than in steps of a period; at each render period the fill so found,
// less its target, is smoothed and drives a second-order loop (proportional plus integral) on
// the ratio. It locks with a wide bandwidth and, once the error has stayed small for a while,
// narrows to a slower one; the change keeps the ratio continuous, and the resampler's position
// moves only by the ratio, so the output never steps.
#pragma once

#include "stream/resampler.h"

#include <cmath>
#include <cstdint>
#include <memory>

namespace vl {

// A clock's period times, filtered by a second-order delay-locked loop: how many frames the
// clock had made at any instant, estimated from jittery times of its period boundaries.
class PeriodClock {
  public:
    // While the rate loop locks, and once it has: narrower is smoother against jittery times.
    static constexpr double kLockBandwidthHz = 1.0;
    static constexpr double kTrackBandwidthHz = 0.5;

    // A step (a device that paused, or jumped): an interval between two times that departs
    // from the frames' length at the loop's rate by more than kMinStepSeconds (a frame at
    // 48 kHz), plus what a rate kRateSlack off makes of the interval (kSettledRateSlack once
    // the loop has run kSettleSeconds and found the rate), plus kStepToJitter times the usual
    // departure (times that jitter): the departure a quarter of the intervals exceed, so that
    // the steps themselves do not raise it.
    static constexpr double kMinStepSeconds = 20e-6;
    static constexpr double kRateSlack = 6000e-6;
    static constexpr double kSettledRateSlack = 500e-6;
    static constexpr double kSettleSeconds = 1.0;
    static constexpr double kStepToJitter = 4.0;

    void reset(double nominalSecondsPerFrame);
    void setBandwidth(double hz) { bandwidthHz_ = hz; }
    // The clock had made `frames` frames in all at `seconds` (measured; negative: unknown).
    // True when the time stepped: the loop then takes it as it is, its rate unchanged.
    bool update(uint64_t frames, double seconds);
    // The last step, seconds (positive: the clock paused).
    double lastStep() const { return step_; }
    uint64_t frames() const { return frames_; }
    bool started() const { return started_; }
    // Frames made by `seconds`, a fraction of a frame included.
    double framesAt(double seconds) const;
    // The filtered time of the last update.
    double lastSeconds() const { return seconds_; }
    double secondsPerFrame() const { return secondsPerFrame_; }

  private:
    bool started_ = false;
    uint64_t frames_ = 0;
    double seconds_ = 0;
    double secondsPerFrame_ = 0;
    double bandwidthHz_ = kLockBandwidthHz;
    double lastTime_ = 0; // the last time given
    double firstTime_ = 0;
    double step_ = 0;
    double jitter_ = 0; // the departure a quarter of the intervals exceed, seconds
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

// The control loop: from the fill error of each render period, the ratio (capture frames per
// render frame) for that period.
class RateLoop {
  public:
    // While locking, and once locked: the loop's natural frequency.
    static constexpr double kLockBandwidthHz = 1.0;
    static constexpr double kTrackBandwidthHz = 0.25;
    static constexpr double kDamping = 0.8;
    // The error is smoothed by a first-order low-pass this many times the loop's bandwidth.
    static constexpr double kErrorFilterToBandwidth = 4.0;
    // Locked: the smoothed error has stayed within kLockErrorFrames for kLockHoldSeconds, or
    // the loop has been locking for kLockLongestSeconds (times too jittery for the error ever
    // to settle that far are what the narrower bandwidth is for). Locking again: the error
    // has left kUnlockErrorFrames.
    static constexpr double kLockErrorFrames = 1.0;
    static constexpr double kLockHoldSeconds = 0.5;
    static constexpr double kLockLongestSeconds = 3.0;
    static constexpr double kUnlockErrorFrames = 16.0;
    // The ratio stays within this of the seed, in parts per million.
    static constexpr double kMaxCorrectionPpm = 8000.0;

    // A new run on clocks of about framesPerSecond; `seed`: the ratio expected (1 unless
    // measured).
    void reset(double framesPerSecond, double seed);
    // One render period of periodSeconds whose fill is errorFrames above its target: the
    // ratio to resample it at.
    double update(double errorFrames, double periodSeconds);
    // After a jump of the position: the error starts again from nothing, locking again.
    void restart();

    double ratio() const { return ratio_; }
    // The ratio found, without the loop's proportional part: the two clocks' rate ratio.
    double foundRatio() const { return seed_ * (1 + integral_); }
    bool locked() const { return locked_; }
    double smoothedErrorFrames() const { return error_; }

  private:
    void setBandwidth(double hz);

    double framesPerSecond_ = 48000;
    double seed_ = 1;
    double bandwidthHz_ = kLockBandwidthHz;
    double kp_ = 0, ki_ = 0; // per frame; per frame and second
    double error_ = 0;       // smoothed, frames
    double integral_ = 0;
    double ratio_ = 1;
    double quietSeconds_ = 0; // time the error has stayed within kLockErrorFrames
    double lockingSeconds_ = 0;
    bool locked_ = false;
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
    // The fill a bridge of that configuration holds (targetFrames), known before it exists.
    static double targetFor(const Config& config);
    // A new run: no frames, no clocks, the loop locking from the seed (1 unless seeded).
    void reset();
    // The rate ratio measured beforehand (capture frames per render frame), for the next run.
    void seedRatio(double ratio) { seed_ = ratio; }

    // The capture side: `count` frames of `frameChannels` interleaved samples of sampleType
    // (null: silence), whose last frame was captured at `seconds`, after `skipped` frames the
    // device made but never delivered (its position jumped: they become silence in place).
    // Both sides are called from one thread; the times are the devices' (a packet's, a
    // position's), not wake times. A negative time means the device gave none: the clock's
    // expected time stands in for it.
    void captured(int32_t sampleType, const void* frames, unsigned frameChannels, uint32_t count,
                  double seconds, uint64_t skipped = 0);
    // The render side: a period of `count` frames per channel that starts at `seconds`. Until
    // enough has been captured, silence. Allocates, locks and logs nothing.
    void render(float* const* out, uint32_t count, double seconds);

    // The fill held, in frames: from the newest frame the capture clock has made at the start
    // of a render period to the input position of that period's first output frame. The input
    // latency that the bridge adds.
    double targetFrames() const { return target_; }
    // The fill at the last render period, in frames, as the clocks' filtered times give it.
    double lastFillFrames() const { return lastFill_; }
    // The capture frame, a fraction included, that the next render period's first output
    // frame stands for.
    double inputPosition() const { return double(read_) + resampler_.position(); }
    bool running() const { return running_; }
    bool locked() const { return loop_.locked(); }
    double ratio() const { return loop_.ratio(); }
    // The ratio found, as parts per million above 1: positive when capture runs fast.
    double ratioPpm() const { return (loop_.foundRatio() - 1) * 1e6; }
    // Frames the render side found missing (played as silence); frames the capture side had
    // to drop because the render side stopped taking; capture frames that never came, put in
    // as silence; and how often the position jumped back to its target (after render periods
    // the device played without this side, a clock's time that stepped, or a fill found far
    // from its target).
    uint64_t underrunFrames() const { return underrun_; }
    uint64_t overrunFrames() const { return overrun_; }
    uint64_t lostFrames() const { return lost_; }
    uint32_t resyncs() const { return resyncs_; }

  private:
    void append(int32_t sampleType, const void* frames, unsigned frameChannels, uint64_t count);
    bool start(double captureFrames);
    void read(uint32_t count, float* const* out);

    Config config_;
    double target_ = 0;
    double resyncFrames_ = 0;
    double seed_ = 1;
    Resampler resampler_;
    RateLoop loop_;
    PeriodClock captureClock_, renderClock_;
    std::unique_ptr<float[]> fifo_;    // per channel: capacity_ frames
    std::unique_ptr<float[]> history_; // per channel: the resampler's first history
    uint32_t capacity_ = 0;            // a power of two
    uint64_t written_ = 0, read_ = 0;  // frames in all, counted from the run's first
    uint64_t rendered_ = 0;
    double lastFill_ = 0;
    bool running_ = false;
    bool stepped_ = false; // a clock's time stepped since the last render period
    uint64_t underrun_ = 0, overrun_ = 0, lost_ = 0;
    uint32_t resyncs_ = 0;
};

} // namespace vl
