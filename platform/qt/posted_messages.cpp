#include "posted_messages.h"

#include <QCoreApplication>
#include <QGuiApplication>
#ifdef _WIN32
#include <windows.h>
#else
#include <xcb/xcb.h>
#endif

#include <cstdlib>

#ifdef _WIN32

// On Windows a posted message is a window message: the filter takes its window's messages
// from 0xC000 up, the application range that the station's command messages use.
namespace {
constexpr UINT kFirstPostedMessage = 0xC000;
}

PostedMessageFilter::PostedMessageFilter(QWidget* window, Handler handler)
    : window_(window), handler_(std::move(handler)), atom_(kFirstPostedMessage) {
    QCoreApplication::instance()->installNativeEventFilter(this);
}

PostedMessageFilter::~PostedMessageFilter() {
    if (QCoreApplication::instance())
        QCoreApplication::instance()->removeNativeEventFilter(this);
}

bool PostedMessageFilter::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
    if (eventType != "windows_generic_MSG")
        return false;
    const MSG* m = static_cast<const MSG*>(message);
    if (m->message < kFirstPostedMessage || !window_->testAttribute(Qt::WA_WState_Created) ||
        m->hwnd != reinterpret_cast<HWND>(window_->winId()))
        return false;
    handler_(m->message, static_cast<uint32_t>(m->wParam), static_cast<int32_t>(m->lParam));
    return true;
}

#else

PostedMessageFilter::PostedMessageFilter(QWidget* window, Handler handler)
    : window_(window), handler_(std::move(handler)) {
    auto* x11 = qApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t* c = x11 ? x11->connection() : nullptr;
    if (c) {
        static const char name[] = "VORBELT_POSTED_MESSAGE";
        xcb_intern_atom_reply_t* r =
            xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, sizeof name - 1, name), nullptr);
        if (r) {
            atom_ = r->atom;
            std::free(r);
        }
    }
    QCoreApplication::instance()->installNativeEventFilter(this);
}

PostedMessageFilter::~PostedMessageFilter() {
    if (QCoreApplication::instance())
        QCoreApplication::instance()->removeNativeEventFilter(this);
}

bool PostedMessageFilter::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
    if (!atom_ || eventType != "xcb_generic_event_t")
        return false;
    auto* ev = static_cast<xcb_generic_event_t*>(message);
    if ((ev->response_type & 0x7F) != XCB_CLIENT_MESSAGE)
        return false;
    auto* cm = reinterpret_cast<xcb_client_message_event_t*>(ev);
    if (cm->type != atom_ || cm->format != 32 || !window_->testAttribute(Qt::WA_WState_Created) ||
        cm->window != static_cast<xcb_window_t>(window_->winId()))
        return false;
    handler_(cm->data.data32[0], cm->data.data32[1], static_cast<int32_t>(cm->data.data32[2]));
    return true;
}

#endif
