#include "core/frame_period.h"

#include <algorithm>
#include <cmath>

namespace vorbelt {

namespace {
// Pictures after the first of a run before its fit is taken: at 30 a second, 4 s, after which
// the fit is good to about 0.005 ms with the pictures' times a millisecond or two off (30 and
// 29.97 a second are 0.033 ms apart).
constexpr int kFittedRun = 120;

// The period of the usual frame rate (10 to 60 a second) within 3 % of `intervalMs`, or 0.
double usual(double intervalMs) {
    double period = 0, nearest = 0.03; // relative difference, at most
    for (const double rate : {10.0, 12.5, 15.0, 24000.0 / 1001, 24.0, 25.0, 30000.0 / 1001, 30.0,
                              50.0, 60000.0 / 1001, 60.0}) {
        const double d = std::fabs(1000.0 / rate - intervalMs) * rate / 1000.0;
        if (d < nearest) {
            nearest = d;
            period = 1000.0 / rate;
        }
    }
    return period;
}

} // namespace

void FramePeriod::picture(int64_t atMs) {
    const int64_t since = atMs - last_;
    last_ = atMs;
    if (intervals_.size() >= 16)
        intervals_.erase(intervals_.begin());
    intervals_.push_back(since);
    // Until a run has been fitted: the mean of the last eight intervals while they come evenly
    // (one picture a few milliseconds late among eight must not turn 25 pictures a second into
    // 24). Evenly spaced pictures at no usual rate are a standing player's repaints (every 76 ms
    // or so), which say nothing of its frames.
    if (fitted_ == 0 && intervals_.size() >= 8) {
        const auto [lo, hi] = std::minmax_element(intervals_.end() - 8, intervals_.end());
        if (*hi - *lo <= 6 && *lo > 5 && *hi < 120) {
            double sum = 0;
            for (auto it = intervals_.end() - 8; it != intervals_.end(); ++it)
                sum += static_cast<double>(*it);
            if (const double p = usual(sum / 8); p > 0)
                period_ = p;
        }
    }
    // The run goes on while each picture comes a period after the one before; anything else (a
    // repaint, a pause, a seek, a late picture) starts a new one here.
    if (period_ > 0 && std::fabs(static_cast<double>(since) - period_) <= 0.2 * period_) {
        ++run_;
        const double k = run_, t = static_cast<double>(atMs - runStart_);
        sumK_ += k;
        sumT_ += t;
        sumKK_ += k * k;
        sumKT_ += k * t;
    } else {
        runStart_ = atMs;
        run_ = 0;
        sumK_ = sumT_ = sumKK_ = sumKT_ = 0;
    }
    if (run_ >= kFittedRun && run_ > fitted_) {
        const double n = run_ + 1; // the run's first picture is (0, 0)
        const double slope = (n * sumKT_ - sumK_ * sumT_) / (n * sumKK_ - sumK_ * sumK_);
        if (const double p = usual(slope); p > 0) {
            period_ = p;
            fitted_ = run_;
        }
    }
}

} // namespace vorbelt
