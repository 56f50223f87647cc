#include "control/sync_keeper.h"

#include "core/relay_commands.h"

#include <chrono>

namespace station {

int64_t SyncKeeper::now() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

SyncKeeper::SyncKeeper(const std::atomic<bool>& polling) : polling_(polling) {
    thread_ = std::thread([this] { run(); });
}

SyncKeeper::~SyncKeeper() {
    {
        std::lock_guard<std::mutex> g(lock_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void SyncKeeper::setEnabled(bool on) {
    std::vector<vorbelt::SyncCommand> out;
    {
        std::lock_guard<std::mutex> g(lock_);
        if (on == enabled_)
            return;
        enabled_ = on;
        sync_.setEnabled(on, now());
        // Switched off: what it leaves (normal speed for a trim under way) goes out now.
        if (!on)
            out = sync_.due(now());
    }
    post(out);
    wake_.notify_all();
}

void SyncKeeper::loaded(const std::vector<Channel>& channels, int current, int32_t length) {
    {
        std::lock_guard<std::mutex> g(lock_);
        table_ = channels;
        sync_.loaded(static_cast<int>(channels.size()), now());
        for (std::size_t c = 0; c < channels.size(); ++c)
            sync_.setPresent(static_cast<int>(c), channels[c].relay != 0 && channels[c].video != 0);
        sync_.setCurrent(current);
        sync_.setLength(length);
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
    sync_.answer(channel, at, seconds);
}

void SyncKeeper::playPause() {
    {
        std::lock_guard<std::mutex> g(lock_);
        sync_.playPause(now());
    }
    wake_.notify_all();
}

std::vector<int> SyncKeeper::jump(int seconds) {
    std::vector<int> own;
    {
        std::lock_guard<std::mutex> g(lock_);
        own = sync_.jump(now(), seconds);
    }
    wake_.notify_all();
    return own;
}

std::vector<int> SyncKeeper::seekAll(int32_t second) {
    std::vector<int> own;
    {
        std::lock_guard<std::mutex> g(lock_);
        own = sync_.seekAll(now(), second);
    }
    wake_.notify_all();
    return own;
}

void SyncKeeper::stepped() {
    std::lock_guard<std::mutex> g(lock_);
    sync_.stepped(now());
}

void SyncKeeper::operatorRate(bool normal) {
    {
        std::lock_guard<std::mutex> g(lock_);
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
        if (c.kind == vorbelt::SyncCommand::Kind::Key)
            platform::postMessage(target.video, platform::WM_KEYDOWN_MESSAGE, c.code, 0);
        else
            platform::postMessage(target.relay, vorbelt::kCommandMessage, c.code, c.argument);
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
            for (std::size_t c = 0; c < table_.size(); ++c)
                if (sync_.present(static_cast<int>(c)))
                    polls.push_back(table_[c].relay);
            nextPoll = t + sync_.pollPeriodMs();
        }
        const std::vector<vorbelt::SyncCommand> due = sync_.due(t);
        if (!polls.empty() || !due.empty()) {
            g.unlock();
            post(due);
            for (platform::WindowHandle relay : polls)
                platform::postMessage(relay, vorbelt::kCommandMessage, 22, 0);
            g.lock();
            continue;
        }
        // Until the next poll or the next planned command, whichever comes first.
        int64_t until = sync_.nextDue();
        if (polling_)
            until = std::min(until, nextPoll);
        else
            until = std::min<int64_t>(until, t + 200); // the polling flag is looked at again
        wake_.wait_for(g, std::chrono::milliseconds(std::max<int64_t>(until - t, 1)));
    }
}

} // namespace station
