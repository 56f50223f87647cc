// Test helper: runs the Qt event loop until a condition holds, with a time limit.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <functional>

namespace testing_support {

inline bool processUntil(const std::function<bool()>& condition, int timeoutMs = 5000) {
    QElapsedTimer t;
    t.start();
    while (!condition()) {
        if (t.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
    return true;
}

// Lets queued work run for a while (for checks that something does NOT happen).
inline void processFor(int ms) {
    processUntil([] { return false; }, ms);
}

} // namespace testing_support
