// Receives the messages that other programs post to this program's windows (platform
// postMessage): installed on the application, it hands each one to the window's handler on
// the GUI thread, in the order they arrive, also while the window is minimized.
#pragma once

#include <QAbstractNativeEventFilter>
#include <QWidget>

#include <cstdint>
#include <functional>

class PostedMessageFilter : public QAbstractNativeEventFilter {
public:
    using Handler = std::function<void(uint32_t message, uint32_t wParam, int32_t lParam)>;

    // Messages posted to `window` go to `handler`. The filter must outlive the window.
    PostedMessageFilter(QWidget* window, Handler handler);
    ~PostedMessageFilter() override;

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

    // Whether posted messages can reach this process (false without an X connection).
    bool active() const { return atom_ != 0; }

private:
    QWidget* window_;
    Handler handler_;
    uint32_t atom_ = 0;
};
