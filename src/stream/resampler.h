// An adaptive resampler for joining two clocks: per channel, a fixed number of output frames
// per call from a variable number of input frames, at a ratio near 1 that may change on every
// call. Portable: plain values and buffers, no Windows header.
//
// The filter is a Kaiser-windowed sinc of 48 taps, cut off at half the sample rate, tabulated
// at 256 phases per input frame with linear interpolation between neighbouring phases. At
// 48 kHz it is flat to 20 kHz and keeps images and interpolation errors of anything below
// 20 kHz more than 100 dB down.
#pragma once

#include <cstdint>
#include <memory>

namespace vl {

class Resampler {
  public:
    // Half the filter's length, in input frames: an output frame is made from the kHalfTaps
    // input frames on either side of the point it stands for.
    static constexpr unsigned kHalfTaps = 24;
    static constexpr unsigned kTaps = 2 * kHalfTaps;
    static constexpr unsigned kPhases = 256;

    // The constant delay of the resampler, in input frames: output frame k of a run started
    // by reset(nullptr, 0) stands for input position k * ratio - kDelayFrames (for a constant
    // ratio), so a run that began on a frame boundary delays its input by this many frames.
    static constexpr unsigned kDelayFrames = kHalfTaps;

    // Ratios (input frames per output frame) the resampler takes; others are clamped to it.
    static constexpr double kMinRatio = 0.99;
    static constexpr double kMaxRatio = 1.01;

    // Allocates everything: the coefficient table and each channel's input window for runs of
    // up to maxOutputFrames. False when memory runs out (the resampler is then unusable).
    // Leaves the resampler as reset(nullptr, 0) does.
    bool setup(unsigned channels, uint32_t maxOutputFrames);

    // Starts a new run. `history`: kTaps frames per channel, the input just before the next
    // frame to come (null: silence). The next output frame stands `fraction` (in [0, 1)) of a
    // frame past history frame kHalfTaps, that is kDelayFrames - fraction frames before the
    // next frame to come.
    void reset(const float* const* history, double fraction);

    // Input frames the next process() of outputFrames frames at `ratio` takes. At most
    // maxInputFrames().
    uint32_t inputFrames(double ratio, uint32_t outputFrames) const;
    uint32_t maxInputFrames() const { return maxInput_; }
    // The same for a resampler set up for runs of up to maxOutputFrames.
    static uint32_t maxInputFor(uint32_t maxOutputFrames);

    // Where the caller puts those frames for channel `ch` before calling process().
    float* input(unsigned ch) { return window_.get() + size_t(ch) * stride_ + kTaps; }

    // Makes outputFrames frames (at most the set-up maximum) per channel at `ratio` from the
    // inputFrames(ratio, outputFrames) frames the caller has put at input(ch). Allocates,
    // locks and logs nothing.
    void process(double ratio, float* const* output, uint32_t outputFrames);

    // Where the next output frame stands, in input frames from the next input frame to come
    // (negative: between kDelayFrames + 1 and kDelayFrames - 1 frames back).
    double position() const { return position_; }

    unsigned channels() const { return channels_; }

  private:
    static double clampRatio(double ratio);

    unsigned channels_ = 0;
    uint32_t maxOutput_ = 0;
    uint32_t maxInput_ = 0;
    size_t stride_ = 0;               // floats per channel's window
    std::unique_ptr<float[]> table_;  // per phase: kTaps coefficients, then kTaps differences
    std::unique_ptr<float[]> window_; // per channel: kTaps frames of history, then new input
    double position_ = -double(kHalfTaps);
};

} // namespace vl
