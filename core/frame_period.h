// The frame period of a player's pictures, for recordings that do not state one (MP4): measured
// from the times its pictures are shown, taken as the usual frame rate nearest to it.
//
// Eight even intervals give a first value at once. They cannot tell the rates a thousandth
// apart (30 and 29.97, 24 and 23.976: 33.33 and 33.37 ms, while the times are whole
// milliseconds), and a wrong one misnames frames by more than one at 45 s into the recording.
// A run of pictures each one period after the one before settles it: the slope of their times
// over their count is the period to a few thousandths of a millisecond after a few seconds.
#pragma once

#include <cstdint>
#include <vector>

namespace vorbelt {

class FramePeriod {
public:
    // A picture shown at `atMs`.
    void picture(int64_t atMs);
    // The period (ms), 0 until measured.
    double ms() const { return period_; }
    // The intervals between the last pictures, oldest first (at most 16), and when the last
    // one was shown.
    const std::vector<int64_t>& intervals() const { return intervals_; }
    int64_t lastPicture() const { return last_; }

private:
    int64_t last_ = 0;
    std::vector<int64_t> intervals_;
    // The run of pictures one period apart since `runStart_`: count and sums for the fit of
    // time (ms from `runStart_`) over frame number.
    int64_t runStart_ = 0;
    int run_ = 0;
    double sumK_ = 0, sumT_ = 0, sumKK_ = 0, sumKT_ = 0;
    int fitted_ = 0; // the longest run fitted so far (pictures after its first)
    double period_ = 0;
};

} // namespace vorbelt
