// The window whose seek bar, displays and channel choice the report reader works with, and
// whose loaded channels the timer polls: the main window, or the compact window while it is
// shown. Each provides its own controls, its own current channel, reference time, relay
// windows and channel states.
#pragma once

#include "core/reports.h"
#include "platform/window.h"

#include <atomic>
#include <cstdint>

class QLCDNumber;
class QSlider;

class ReportView {
public:
    virtual ~ReportView() = default;
    virtual vorbelt::ReportWindow reportWindow() const = 0;
    virtual QSlider* seekBar() const = 0;
    virtual QLCDNumber* lengthMinutes() const = 0;
    virtual QLCDNumber* lengthSeconds() const = 0;
    virtual int reportCurrentChannel() const = 0;
    virtual std::atomic<int32_t>& reportReferenceTime() = 0;
    virtual platform::WindowHandle reportRelayWindow(int channel) const = 0;
    // Whether the channel has a player of this window's last Load (the timer polls it).
    virtual bool channelLoaded(int channel) const = 0;
    virtual bool alwaysPlay() const = 0;
    virtual void repaintView() = 0;
};
