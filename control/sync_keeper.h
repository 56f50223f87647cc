// Fine Sync in the station: the controller of core/fine_sync fed with the players' answers as
// the report readers receive them, and what it plans posted at the planned moments. A thread
// of its own polls the players (code 22) about 20 times a second while they play and posts the
// planned seeks, rate trims, plays and pauses; the window thread only tells it what the operator
// did. Both control windows share one keeper: it works on the channels of the last Load,
// whichever window made it.
#pragma once

#include "core/fine_sync.h"
#include "platform/window.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace station {

class SyncKeeper {
public:
    // `polling`: the station's polling flag (no polls while it is off: before and during a
    // Load, at shutdown).
    explicit SyncKeeper(const std::atomic<bool>& polling);
    ~SyncKeeper();
    SyncKeeper(const SyncKeeper&) = delete;
    SyncKeeper& operator=(const SyncKeeper&) = delete;

    // The option. Off, nothing is polled or posted here, and the station keeps the cameras as it
    // always did; switched off mid-way, every trim under way ends at once.
    void setEnabled(bool on);
    bool enabled() const { return enabled_; }

    // A Load has ended: its channels (a relay window and a video window each; 0 where none),
    // every player standing at its start.
    struct Channel {
        platform::WindowHandle relay = 0;
        platform::WindowHandle video = 0;
    };
    void loaded(const std::vector<Channel>& channels, int current, int32_t lengthSeconds);
    void setLength(int32_t seconds);
    void setCurrent(int channel);

    // A position answer of `channel`, as the report reader got it (any thread).
    void answer(int channel, int32_t seconds);

    // The operator's actions (window thread). F1; F2/F3 and the seek bar return the channels
    // that take the operator's own command; F9; F4/F5 and BackSpace.
    void playPause();
    std::vector<int> jump(int seconds);
    std::vector<int> seekAll(int32_t second);
    void stepped();
    void operatorRate(bool normal);

    // The steady clock the answers are stamped with (ms).
    static int64_t now();

private:
    void run();
    void post(const std::vector<vorbelt::SyncCommand>& commands);

    const std::atomic<bool>& polling_;
    std::atomic<bool> enabled_{false};
    std::mutex lock_;
    std::condition_variable wake_;
    bool stop_ = false;
    vorbelt::FineSync sync_;     // under lock_
    std::vector<Channel> table_; // under lock_
    std::thread thread_;
};

} // namespace station
