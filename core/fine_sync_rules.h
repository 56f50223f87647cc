// What the parts of the Fine Sync controller share beyond its class: a few of its rules.
#pragma once

#include <cmath>
#include <cstdint>

namespace vorbelt::fine_sync {

// The least time from now a resume is planned for (so that every "play" of a common start is
// still to come).
constexpr int64_t kResumeLeadMs = 20;

// After a hold, how long its effect takes to show in the pictures.
constexpr int64_t kHoldSettleMs = 200;
// A seek follows the pause before it by this much (the pause goes to the player's window, the
// seek through its relay). A seek that reaches a playing player on the heels of its pause can
// leave it showing nothing of its landing once played: eight players swept over their key
// pictures (pause, seek, play) missed 1 to 3 landings in 98 with the seek 20 ms after the pause,
// none in 196 with 150 ms.
constexpr int64_t kSeekAfterPauseMs = 150;

// From a seek once more to its landing until "play" may follow: a player that showed nothing
// of the first can take half a second to settle on it (with eight players, up to 0.46 s was
// seen; a play 0.39 s after it started one six frames late).
constexpr int64_t kSeekAgainSettleMs = 600;

inline int64_t roundMs(double ms) {
    return static_cast<int64_t>(std::llround(ms));
}

} // namespace vorbelt::fine_sync
