#include "stream/dropouts.h"

namespace vl {

uint32_t PeriodWatch::onWake(int64_t now) {
    const double t = double(now);
    if (!started_) {
        started_ = true;
        signal_ = t;
        windowWakes_ = 0;
        return 0;
    }
    double signal = signal_ + period_;
    double late = t - signal;
    uint32_t lost = 0;
    if (late < 0) {
        // The clock is ahead of the grid: this wake is the earliest word of its signal.
        signal = t;
        late = 0;
    } else if (late >= period_ * 1.125) {
        // The eighth of a period is what the grid may trail a slow clock by, and more: a wake
        // only just a period late never counts as a loss. Counting whole periods from the
        // grid never counts one too many, as the grid is never before the true signals by
        // more than that.
        lost = uint32_t(late / period_);
        signal += lost * period_;
        late -= lost * period_;
    }
    if (windowWakes_ == 0 || late < windowLeast_) windowLeast_ = late;
    if (++windowWakes_ == kWindowWakes) {
        signal += windowLeast_;
        windowWakes_ = 0;
    }
    signal_ = signal;
    return lost;
}

} // namespace vl
