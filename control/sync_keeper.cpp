#include "control/sync_keeper.h"

#include "core/program_stream.h"
#include "core/relay_commands.h"

#include <cstdarg>
#include <cstdlib>
#ifndef _WIN32
#include <pthread.h>
#endif

namespace station {

namespace {

// While the players play, how often the plan is looked at even when nothing is due: a start
// seen in the pictures may call for a correction.
constexpr int64_t kPlanEveryMs = 100;

} // namespace

SyncKeeper::SyncKeeper(const std::atomic<bool>& polling) : polling_(polling) {
    if (const char* file = std::getenv("VORBELT_SYNC_TRACE"))
        trace_ = std::fopen(file, "a");
    watch_ = std::make_unique<platform::PictureWatch>(
        [this](platform::WindowHandle w, int64_t at, platform::PictureContent content) {
            picture(w, at, content);
        },
        [this](platform::WindowHandle w) { windowGone(w); }, true);
    thread_ = std::thread([this] { run(); });
#ifndef _WIN32
    // (Named, so that a profile of the station tells its threads apart.)
    pthread_setname_np(thread_.native_handle(), "sync keeper");
#endif
}

SyncKeeper::~SyncKeeper() {
    {
        std::lock_guard<std::mutex> g(lock_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
    watch_.reset();
    if (trace_)
        std::fclose(trace_);
}

void SyncKeeper::trace(const char* format, ...) {
    if (!trace_)
        return;
    // The keeper's thread, the picture watch's and the window's all trace: a line is written
    // whole.
    std::va_list args;
    va_start(args, format);
    std::lock_guard<std::mutex> whole(traceLock_);
    std::fprintf(trace_, "%lld ", static_cast<long long>(now()));
    std::vfprintf(trace_, format, args);
    std::fputc('\n', trace_);
    va_end(args);
}

void SyncKeeper::watchWindows() {
    std::vector<platform::WindowHandle> windows;
    for (const Channel& c : table_)
        windows.push_back(c.video);
    watch_->watch(windows, enabled_);
}

void SyncKeeper::setEnabled(bool on) {
    std::vector<vorbelt::SyncCommand> out;
    {
        std::lock_guard<std::mutex> g(lock_);
        if (on == enabled_)
            return;
        enabled_ = on;
        sync_.setEnabled(on, now());
        watchWindows();
        // Switched off: what it leaves (players held or about to start) goes out now.
        if (!on)
            out = sync_.due(now());
    }
    post(out);
    wake_.notify_all();
}

void SyncKeeper::loaded(const std::vector<Channel>& channels, int current, int32_t length) {
    // Where each player can land is read from its file here, outside the lock (a few
    // megabytes of each recording's start and end).
    std::vector<std::shared_ptr<vorbelt::Landings>> landings(channels.size());
    for (std::size_t c = 0; c < channels.size(); ++c)
        if (channels[c].relay != 0 && channels[c].video != 0)
            landings[c] = vorbelt::recordingLandings(channels[c].file);
    {
        std::lock_guard<std::mutex> g(lock_);
        table_ = channels;
        sync_.loaded(std::move(landings), now());
        sync_.setCurrent(current);
        sync_.setLength(length);
        watchWindows();
    }
    wake_.notify_all();
}

void SyncKeeper::setLength(int32_t seconds) {
    std::lock_guard<std::mutex> g(lock_);
    sync_.setLength(seconds);
}

void SyncKeeper::setCurrent(int channel) {
    std::lock_guard<std::mutex> g(lock_);
    sync_.setCurrent(channel);
}

void SyncKeeper::answer(int channel, int32_t seconds) {
    const int64_t at = now();
    std::lock_guard<std::mutex> g(lock_);
    trace("A %d %d", channel, seconds);
    sync_.answer(channel, at, seconds);
}

bool SyncKeeper::standsAtEnd(int channel) {
    std::lock_guard<std::mutex> g(lock_);
    return sync_.standsAtEnd(channel, now());
}

void SyncKeeper::picture(platform::WindowHandle window, int64_t at,
                         platform::PictureContent content) {
    using Content = platform::PictureContent;
    std::lock_guard<std::mutex> g(lock_);
    for (std::size_t c = 0; c < table_.size(); ++c)
        if (table_[c].video == window) {
            trace("P %zu%s", c,
                  content == Content::Same  ? " same"
                  : content == Content::New ? ""
                                            : " untold");
            sync_.picture(static_cast<int>(c), at, content);
            return;
        }
}

void SyncKeeper::windowGone(platform::WindowHandle window) {
    int channel = -1;
    std::function<void(int, platform::WindowHandle, Loss)> lost;
    {
        std::lock_guard<std::mutex> g(lock_);
        for (std::size_t c = 0; c < table_.size(); ++c)
            if (table_[c].video == window) {
                channel = static_cast<int>(c);
                trace("G %d %lu", channel, static_cast<unsigned long>(window));
                table_[c].video = 0;
                sync_.gone(channel);
            }
        lost = lost_;
    }
    if (channel >= 0 && lost)
        lost(channel, window, Loss::WindowGone);
}

void SyncKeeper::setCameraLost(
    std::function<void(int channel, platform::WindowHandle window, Loss how)> lost) {
    std::lock_guard<std::mutex> g(lock_);
    lost_ = std::move(lost);
}

void SyncKeeper::rejoined(int channel, platform::WindowHandle video) {
    {
        std::lock_guard<std::mutex> g(lock_);
        if (channel < 0 || channel >= static_cast<int>(table_.size()) || video == 0)
            return;
        trace("R %d %lu", channel, static_cast<unsigned long>(video));
        table_[static_cast<std::size_t>(channel)].video = video;
        watchWindows();
        sync_.rejoined(channel, now());
    }
    wake_.notify_all();
}

void SyncKeeper::playPause() {
    {
        std::lock_guard<std::mutex> g(lock_);
        trace("O playPause");
        sync_.playPause(now());
    }
    wake_.notify_all();
}

void SyncKeeper::jump(int seconds) {
    {
        std::lock_guard<std::mutex> g(lock_);
        trace("O jump");
        sync_.jump(now(), seconds);
    }
    wake_.notify_all();
}

void SyncKeeper::seekAll(int32_t second) {
    {
        std::lock_guard<std::mutex> g(lock_);
        trace("O seekAll");
        sync_.seekAll(now(), second);
    }
    wake_.notify_all();
}

void SyncKeeper::stepped() {
    {
        std::lock_guard<std::mutex> g(lock_);
        trace("O stepped");
        sync_.stepped(now());
    }
    wake_.notify_all();
}

void SyncKeeper::operatorRate(bool normal) {
    {
        std::lock_guard<std::mutex> g(lock_);
        trace("O operatorRate");
        sync_.operatorRate(now(), normal);
    }
    wake_.notify_all();
}

void SyncKeeper::post(const std::vector<vorbelt::SyncCommand>& commands) {
    for (const vorbelt::SyncCommand& c : commands) {
        Channel target;
        {
            std::lock_guard<std::mutex> g(lock_);
            if (c.channel < 0 || c.channel >= static_cast<int>(table_.size()))
                continue;
            target = table_[static_cast<std::size_t>(c.channel)];
        }
        {
            std::lock_guard<std::mutex> g(lock_);
            trace("C %d %s %u %d", c.channel,
                  c.kind == vorbelt::SyncCommand::Kind::Key ? "key" : "relay", c.code, c.argument);
        }
        if (c.kind == vorbelt::SyncCommand::Kind::Key) {
            if (target.video != 0)
                platform::postMessage(target.video, platform::WM_KEYDOWN_MESSAGE, c.code, 0);
        } else {
            platform::postMessage(target.relay, vorbelt::kCommandMessage, c.code, c.argument);
        }
        std::lock_guard<std::mutex> g(lock_);
        sync_.posted(c, now());
    }
}

void SyncKeeper::run() {
    int64_t nextPoll = 0;
    std::unique_lock<std::mutex> g(lock_);
    while (!stop_) {
        if (!enabled_) {
            // Off: nothing to do until it is switched on (or the station ends).
            wake_.wait(g, [this] { return stop_ || enabled_; });
            nextPoll = 0;
            continue;
        }
        const int64_t t = now();
        std::vector<platform::WindowHandle> polls;
        if (polling_ && t >= nextPoll) {
            for (int c : sync_.pollNow(t))
                if (c < static_cast<int>(table_.size()))
                    polls.push_back(table_[static_cast<std::size_t>(c)].relay);
            nextPoll = t + sync_.pollPeriodMs();
        }
        const std::vector<vorbelt::SyncCommand> due = sync_.due(t);
        std::vector<std::pair<vorbelt::FineSync::Frozen, platform::WindowHandle>> frozen;
        for (const vorbelt::FineSync::Frozen& f : sync_.takeFrozen())
            if (f.channel < static_cast<int>(table_.size())) {
                // Its window is no longer the keeper's: the station ends that player, and the
                // end of its window is no loss to report (the X server may even give the
                // window of the player that replaces it the same id).
                Channel& channel = table_[static_cast<std::size_t>(f.channel)];
                frozen.emplace_back(f, channel.video);
                channel.video = 0;
                trace("F %d%s", f.channel, f.restarted ? " again" : "");
            }
        if (!frozen.empty())
            watchWindows();
        if (!frozen.empty() && lost_) {
            const auto lost = lost_;
            g.unlock();
            for (const auto& [f, window] : frozen)
                lost(f.channel, window, f.restarted ? Loss::FrozenAgain : Loss::Frozen);
            g.lock();
        }
        if (trace_ && t - lastDescribed_ >= 250) {
            lastDescribed_ = t;
            trace("S %s", sync_.describe(t).c_str());
        }
        if (!polls.empty() || !due.empty()) {
            g.unlock();
            post(due);
            for (platform::WindowHandle relay : polls)
                platform::postMessage(relay, vorbelt::kCommandMessage, 22, 0);
            g.lock();
            continue;
        }
        // Until the next poll or planned command, and while the players play the next look at
        // the plan, whichever comes first.
        int64_t until = sync_.nextDue();
        if (sync_.playing() || sync_.inferring())
            until = std::min(until, t + kPlanEveryMs);
        if (polling_)
            until = std::min(until, nextPoll);
        else
            until = std::min<int64_t>(until, t + 200); // the polling flag is looked at again
        wake_.wait_for(g, std::chrono::milliseconds(std::max<int64_t>(until - t, 1)));
    }
}

} // namespace station
