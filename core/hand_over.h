// A bounded queue from a reader thread to a window thread. The reader adds items and learns
// whether the window thread must be called (nothing was waiting for it yet): one queued call
// takes whatever has come meanwhile. Beyond `maxItems` items, or `maxBytes` bytes of them, the
// oldest are dropped and counted: a peer that sends faster than the window thread can follow
// costs the oldest items, never more memory.
#pragma once

#include <cstddef>
#include <deque>
#include <limits>
#include <mutex>
#include <utility>
#include <vector>

namespace vorbelt {

template <class T> class HandOver {
public:
    explicit HandOver(std::size_t maxItems,
                      std::size_t maxBytes = std::numeric_limits<std::size_t>::max())
        : maxItems_(maxItems), maxBytes_(maxBytes) {}

    // Adds `item`, which counts as `bytes`. True when the taker must be called: it was not
    // called since it last took.
    bool push(T item, std::size_t bytes = 0) {
        std::lock_guard<std::mutex> g(lock_);
        bytes_ += bytes;
        items_.emplace_back(std::move(item), bytes);
        while (items_.size() > maxItems_ || bytes_ > maxBytes_) {
            bytes_ -= items_.front().second;
            items_.pop_front();
            ++dropped_;
        }
        if (called_)
            return false;
        called_ = true;
        return true;
    }

    // Whether the taker lags: half of what may wait is waiting. A reader then drops what it
    // has rather than working it into items that would only be dropped.
    bool lagging() {
        std::lock_guard<std::mutex> g(lock_);
        return items_.size() * 2 >= maxItems_ || bytes_ * 2 >= maxBytes_;
    }
    // Counts `items` dropped before they were added, for the next take to tell.
    void droppedBefore(long items) {
        std::lock_guard<std::mutex> g(lock_);
        dropped_ += items;
    }

    // Everything waiting, the oldest first; `dropped` (if given) gets how many items were
    // dropped since the last take.
    std::vector<T> take(long* dropped = nullptr) {
        std::deque<std::pair<T, std::size_t>> items;
        {
            std::lock_guard<std::mutex> g(lock_);
            items.swap(items_);
            bytes_ = 0;
            called_ = false;
            if (dropped)
                *dropped = dropped_;
            dropped_ = 0;
        }
        std::vector<T> out;
        out.reserve(items.size());
        for (auto& item : items)
            out.push_back(std::move(item.first));
        return out;
    }

private:
    const std::size_t maxItems_;
    const std::size_t maxBytes_;
    std::mutex lock_;
    std::deque<std::pair<T, std::size_t>> items_;
    std::size_t bytes_ = 0;
    bool called_ = false;
    long dropped_ = 0;
};

} // namespace vorbelt
