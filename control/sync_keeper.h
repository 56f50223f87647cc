// Fine Sync in the station: the controller of core/fine_sync fed with the players' pictures (the
// moments their windows show new ones) and answers, and what it plans posted at the planned
// moments. A thread of its own polls the players (code 22) and posts the planned seeks, plays
// and pauses; the window thread only tells it what the operator did. Both control windows
// share one keeper: it works on the channels of the last Load, whichever window made it.
// The keeper also watches the video windows with the option off: a window that goes is told
// to the station.
#pragma once

#include "core/fine_sync.h"
#include "platform/pictures.h"
#include "platform/window.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
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
    // always did; switched off mid-way, every player held or about to start plays at once.
    void setEnabled(bool on);
    bool enabled() const { return enabled_; }

    // A Load has ended: its channels (a relay window, a video window and the file each; 0 where
    // none), every player standing at its start.
    struct Channel {
        platform::WindowHandle relay = 0;
        platform::WindowHandle video = 0;
        std::string file;
    };
    void loaded(const std::vector<Channel>& channels, int current, int32_t lengthSeconds);
    void setLength(int32_t seconds);
    void setCurrent(int channel);

    // A position answer of `channel`, as the report reader got it (any thread).
    void answer(int channel, int32_t seconds);
    // Whether `channel`'s player stands at the end of its recording (the last second, still).
    bool standsAtEnd(int channel);

    // The operator's actions (window thread): F1; F2/F3 and the seek bar; F9; F4/F5 and
    // BackSpace.
    void playPause();
    void jump(int seconds);
    void seekAll(int32_t second);
    void stepped();
    void operatorRate(bool normal);

    // How a camera was lost: its video window is gone, or its player froze (told to play again
    // and again, it stays on one picture), or the player started anew for a frozen one froze
    // as well, before it ever ran.
    enum class Loss { WindowGone, Frozen, FrozenAgain };
    // Called (on one of the keeper's threads) with the channel whose camera is lost, its video
    // window and how.
    void
    setCameraLost(std::function<void(int channel, platform::WindowHandle window, Loss how)> lost);

    // A camera lost as frozen has a new player (its video window `video`, standing at its
    // start): it joins the others again where they are.
    void rejoined(int channel, platform::WindowHandle video);

    static int64_t now() { return platform::steadyMs(); }

private:
    void run();
    void post(const std::vector<vorbelt::SyncCommand>& commands);
    void picture(platform::WindowHandle window, int64_t at, platform::PictureContent content);
    void windowGone(platform::WindowHandle window);
    void watchWindows(); // under lock_

    // A trace of what the keeper saw and did, for measuring (VORBELT_SYNC_TRACE names a file).
    void trace(const char* format, ...);

    const std::atomic<bool>& polling_;
    std::FILE* trace_ = nullptr;
    std::mutex traceLock_;
    int64_t lastDescribed_ = 0;
    std::atomic<bool> enabled_{false};
    std::mutex lock_;
    std::condition_variable wake_;
    bool stop_ = false;
    vorbelt::FineSync sync_;     // under lock_
    std::vector<Channel> table_; // under lock_
    std::function<void(int, platform::WindowHandle, Loss)> lost_;
    std::unique_ptr<platform::PictureWatch> watch_;
    std::thread thread_;
};

} // namespace station
