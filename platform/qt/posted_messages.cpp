#include "posted_messages.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <xcb/xcb.h>

#include <cstdlib>

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
