// Telling a lost period from a late one, for the event-driven streaming thread. Portable:
// times are in any tick unit (the thread uses the performance counter), positions in frames.
#pragma once

#include <cstdint>

namespace vl {

// Follows the grid of an endpoint clock that signals once per period, from the moments the
// thread wakes. A wake is never earlier than its signal, so the grid sits at the earliest
// wakes seen: an earlier wake moves it back at once, and once per window it moves forward by
// the least lateness of that window, so a clock a little slower than the counter is followed
// too (the grid then trails the earliest wakes by at most two windows' drift). A wake more
// than a period after its signal means the next signal came while the thread was away: an
// auto-reset event keeps one of the two, and that period is lost.
class PeriodWatch {
  public:
    // Wakes per window over which the least lateness is taken.
    static constexpr uint32_t kWindowWakes = 16;

    void reset(int64_t periodTicks) {
        period_ = periodTicks > 0 ? double(periodTicks) : 1.0;
        started_ = false;
    }

    // A wake at `now`: how many periods were lost since the previous one.
    uint32_t onWake(int64_t now);

  private:
    double period_ = 1;
    double signal_ = 0;  // when the latest wake's signal came, as far as the grid tells
    double windowLeast_ = 0;
    uint32_t windowWakes_ = 0;
    bool started_ = false;
};

// Follows a capture endpoint's device position from packet to packet: a packet that starts
// further on than the previous one ended means the packets between were lost.
class PositionWatch {
  public:
    void reset() { started_ = false; }
    // A packet of `frames` at device position `position`: whether packets went missing
    // before it.
    bool onPacket(uint64_t position, uint32_t frames) {
        skipped_ = started_ && position > next_ ? position - next_ : 0;
        next_ = position + frames;
        started_ = true;
        return skipped_ > 0;
    }
    // The frames missing before the last packet.
    uint64_t skipped() const { return skipped_; }
    // Where the next packet should start, once one came.
    bool started() const { return started_; }
    uint64_t next() const { return next_; }

  private:
    uint64_t next_ = 0;
    uint64_t skipped_ = 0;
    bool started_ = false;
};

// Follows a playback endpoint's position against the frames the stream has written to it. A
// device plays on when a period's frames come too late, and every frame written after that
// plays a period later than it would have; read just before a write, a position a whole
// period or more past what was written tells how many such periods there were. Two writes in
// a row must agree: a position read just as the device moved on proves nothing alone.
class PlayedWatch {
  public:
    // Before a write: the device played `played` frames of the `written` the stream gave it,
    // in periods of `period` frames. Returns how many periods it played without the stream
    // that this write confirms (counted once each).
    uint32_t beforeWrite(uint64_t played, uint64_t written, uint32_t period) {
        const uint64_t behind = period && played > written ? (played - written) / period : 0;
        const uint64_t fresh = behind > lost_ ? behind - lost_ : 0;
        uint64_t confirmed = 0;
        if (fresh && pending_) {
            confirmed = fresh < pending_ ? fresh : pending_;
            lost_ += confirmed;
            pending_ = 0;
        } else {
            pending_ = fresh;
        }
        return uint32_t(confirmed);
    }
    // The periods played without the stream so far.
    uint64_t lost() const { return lost_; }

  private:
    uint64_t lost_ = 0;
    uint64_t pending_ = 0;
};

} // namespace vl
