// The window layer against a real X server, with windows of other processes.
#include "child.h"
#include "platform/pictures.h"
#include "platform/window.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <iterator>
#include <mutex>
#include <thread>

// Xlib's macros (None, Bool, Status ...) must come after the test framework.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/shape.h>

using namespace testing_support;

namespace {

struct TestWindow {
    explicit TestWindow(const std::string& title, bool red = false)
        : child(buildDirectory() + "tools/test_window",
                red ? std::vector<std::string>{title, "--red"} : std::vector<std::string>{title}) {
        const auto line = child.waitForLine("ready ");
        if (line)
            id = std::stoul(line->substr(6));
    }
    Child child;
    platform::WindowHandle id = 0;
};

// A window made straight with Xlib, titled the way the test chooses.
struct RawWindow {
    RawWindow(const char* wmName, const char* netWmName) {
        d = XOpenDisplay(nullptr);
        w = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 50, 50, 0, 0, 0);
        if (wmName)
            XStoreName(d, w, wmName);
        if (netWmName)
            XChangeProperty(d, w, XInternAtom(d, "_NET_WM_NAME", False),
                            XInternAtom(d, "UTF8_STRING", False), 8, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(netWmName),
                            static_cast<int>(strlen(netWmName)));
        XMapWindow(d, w);
        XSync(d, False);
    }
    ~RawWindow() {
        XDestroyWindow(d, w);
        XCloseDisplay(d);
    }
    Display* d;
    Window w;
};

std::vector<Window> stackingOrder() {
    Display* d = XOpenDisplay(nullptr);
    Window root, parent, *kids = nullptr;
    unsigned n = 0;
    XQueryTree(d, DefaultRootWindow(d), &root, &parent, &kids, &n);
    std::vector<Window> order(kids, kids + n);
    XFree(kids);
    XCloseDisplay(d);
    return order;
}

} // namespace

TEST(Window, FindsByExactTitleTopmostFirstAndRetitleMovesTheLookupOn) {
    ASSERT_TRUE(platform::windowSystemAvailable());
    EXPECT_EQ(platform::findWindow("Telnet"), 0u);
    TestWindow first("Telnet");
    TestWindow second("Telnet");
    ASSERT_NE(first.id, 0u);
    ASSERT_NE(second.id, 0u);
    EXPECT_EQ(platform::findWindow("Telne"), 0u);
    EXPECT_EQ(platform::findWindow("Telnet "), 0u);
    const platform::WindowHandle top = platform::findWindow("Telnet");
    EXPECT_EQ(top, second.id); // mapped last, so on top
    ASSERT_TRUE(platform::setWindowText(top, "0"));
    EXPECT_EQ(platform::getWindowText(top), "0");
    EXPECT_EQ(platform::findWindow("0"), top);
    EXPECT_EQ(platform::findWindow("Telnet"), first.id);
}

TEST(Window, ReadsTheUtf8TitleBeforeTheOldOne) {
    // VLC's video window: _NET_WM_NAME "video", WM_NAME "VLC media player".
    RawWindow vlc("VLC media player", "video");
    RawWindow plain("only-wm-name", nullptr);
    RawWindow utf8(nullptr, "Kamera ö");
    EXPECT_EQ(platform::findWindow("video"), vlc.w);
    EXPECT_EQ(platform::findWindow("VLC media player"), 0u);
    EXPECT_EQ(platform::findWindow("only-wm-name"), plain.w);
    EXPECT_EQ(platform::findWindow("Kamera ö"), utf8.w);
    ASSERT_TRUE(platform::setWindowText(vlc.w, "3"));
    EXPECT_EQ(platform::findWindow("3"), vlc.w);
    EXPECT_EQ(platform::findWindow("video"), 0u);
}

TEST(Window, PostedMessagesArriveWithTheirNumbers) {
    TestWindow w("sink");
    ASSERT_TRUE(platform::postMessage(w.id, 0xD000, 0, 3));
    ASSERT_TRUE(platform::postMessage(w.id, 0xD000, 0xFFFFFFFFu, -5));
    ASSERT_TRUE(platform::postMessage(w.id, 0x1234, 20, 2147483647));
    EXPECT_EQ(w.child.readLine(), "message 53248 0 3");
    EXPECT_EQ(w.child.readLine(), "message 53248 4294967295 -5");
    EXPECT_EQ(w.child.readLine(), "message 4660 20 2147483647");
}

TEST(Window, KeyDownsBecomeKeyPresses) {
    TestWindow w("keys");
    const std::pair<uint32_t, const char*> keys[] = {
        {platform::VK_END_KEY, "End"},       {platform::VK_LEFT_KEY, "Left"},
        {platform::VK_HOME_KEY, "Home"},     {platform::VK_RIGHT_KEY, "Right"},
        {platform::VK_UP_KEY, "Up"},         {platform::VK_DOWN_KEY, "Down"},
        {platform::VK_INSERT_KEY, "Ins"},    {platform::VK_SPACE_KEY, "Space"},
        {platform::VK_BACK_KEY, "Backspace"}};
    for (const auto& [vk, name] : keys) {
        ASSERT_TRUE(platform::postMessage(w.id, platform::WM_KEYDOWN_MESSAGE, vk, 0));
        EXPECT_EQ(w.child.readLine(), std::string("key ") + name);
    }
    EXPECT_FALSE(platform::postMessage(w.id, platform::WM_KEYDOWN_MESSAGE, 0xFF, 0));
}

TEST(Window, CloseRequestClosesTheWindow) {
    TestWindow w("closing");
    ASSERT_TRUE(platform::postMessage(w.id, platform::WM_CLOSE_MESSAGE, 0, 0));
    EXPECT_EQ(w.child.readLine(), "close");
    EXPECT_EQ(w.child.wait(), 0);
}

TEST(Window, PostingFromManyThreadsLosesNothing) {
    TestWindow w("busy");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int k = 0; k < 50; ++k)
                platform::postMessage(w.id, 0xD000, 22, t * 100 + k);
        });
    for (auto& t : threads)
        t.join();
    int last[4] = {-1, -1, -1, -1};
    for (int k = 0; k < 200; ++k) {
        const auto line = w.child.readLine();
        ASSERT_TRUE(line) << "message " << k << " missing";
        const int value = std::stoi(line->substr(line->rfind(' ') + 1));
        const int thread = value / 100;
        EXPECT_GT(value % 100, last[thread]) << "one thread's posts arrive in order";
        last[thread] = value % 100;
    }
}

TEST(Window, MovesResizesAndStacks) {
    TestWindow a("a");
    TestWindow b("b");
    ASSERT_TRUE(platform::setWindowPos(a.id, platform::HWND_TOP_WINDOW, 480, 810, 480, 270, 0));
    platform::WindowGeometry g{};
    ASSERT_TRUE(platform::windowGeometry(a.id, g));
    EXPECT_EQ(g.x, 480);
    EXPECT_EQ(g.y, 810);
    EXPECT_EQ(g.width, 480);
    EXPECT_EQ(g.height, 270);
    auto position = [](Window w) {
        const auto order = stackingOrder();
        return std::find(order.begin(), order.end(), w) - order.begin();
    };
    EXPECT_GT(position(a.id), position(b.id));
    ASSERT_TRUE(platform::setWindowPos(a.id, platform::HWND_BOTTOM_WINDOW, 0, 0, 0, 0,
                                       platform::SWP_NOMOVE_FLAG | platform::SWP_NOSIZE_FLAG));
    EXPECT_LT(position(a.id), position(b.id));
    ASSERT_TRUE(platform::windowGeometry(a.id, g));
    EXPECT_EQ(g.x, 480); // not moved
    ASSERT_TRUE(platform::setWindowPos(a.id, platform::HWND_NOTOPMOST_WINDOW, 0, 0, 0, 0,
                                       platform::SWP_NOMOVE_FLAG | platform::SWP_NOSIZE_FLAG));
    EXPECT_GT(position(a.id), position(b.id));
    EXPECT_TRUE(platform::setForegroundWindow(b.id));
    EXPECT_GT(position(b.id), position(a.id));
}

TEST(Window, LayeredAlphaAndColourKey) {
    TestWindow w("layered", true);
    EXPECT_EQ(
        platform::setWindowLong(w.id, platform::GWL_EXSTYLE_INDEX, platform::WS_EX_LAYERED_STYLE),
        0);
    EXPECT_EQ(platform::getWindowLong(w.id, platform::GWL_EXSTYLE_INDEX),
              platform::WS_EX_LAYERED_STYLE);
    EXPECT_EQ(platform::windowAlpha(w.id), 255);
    for (int step : {0, 4, 10}) {
        const int alpha = step * 25 + 1;
        ASSERT_TRUE(platform::setLayeredWindowAttributes(w.id, 0, static_cast<uint8_t>(alpha),
                                                         platform::LWA_ALPHA_FLAG));
        EXPECT_EQ(platform::windowAlpha(w.id), alpha);
    }
    // Colour key red: only the white square stays part of the window.
    Display* d = XOpenDisplay(nullptr);
    ASSERT_TRUE(waitUntil([&] {
        platform::setLayeredWindowAttributes(w.id, 0x0000FF, 0, platform::LWA_COLORKEY_FLAG);
        Bool shaped = False, clipShaped = False;
        int x, y, cx, cy;
        unsigned int wd, ht, cw, ch;
        XShapeQueryExtents(d, w.id, &shaped, &x, &y, &wd, &ht, &clipShaped, &cx, &cy, &cw, &ch);
        return shaped && x == 10 && y == 10 && wd == 20 && ht == 20;
    }));
    EXPECT_EQ(platform::windowAlpha(w.id), 255); // colour-key mode clears the opacity
    ASSERT_TRUE(platform::setLayeredWindowAttributes(w.id, 0, 128, platform::LWA_ALPHA_FLAG));
    Bool shaped = True, clipShaped = False;
    int x, y, cx, cy;
    unsigned int wd, ht, cw, ch;
    XShapeQueryExtents(d, w.id, &shaped, &x, &y, &wd, &ht, &clipShaped, &cx, &cy, &cw, &ch);
    EXPECT_FALSE(shaped);
    XCloseDisplay(d);
}

TEST(Window, VanishedWindowsFailWithoutHarm) {
    platform::WindowHandle gone;
    {
        TestWindow w("short-lived");
        gone = w.id;
    }
    ASSERT_TRUE(waitUntil([&] { return platform::findWindow("short-lived") == 0; }));
    EXPECT_FALSE(platform::setWindowText(gone, "x"));
    EXPECT_FALSE(platform::setWindowPos(gone, 0, 1, 1, 10, 10, 0));
    EXPECT_FALSE(platform::setLayeredWindowAttributes(gone, 0, 1, platform::LWA_ALPHA_FLAG));
    EXPECT_EQ(platform::getWindowText(gone), "");
    EXPECT_FALSE(platform::postMessage(0, 0xD000, 0, 0));
}

TEST(Window, QtsHiddenLeaderWindowIsNotFound) {
    // A Qt program started as "Telnet" titles its hidden client-leader window "Telnet" too;
    // the lookup must find the program's real window.
    Child child(buildDirectory() + "tools/test_window", {"Telnet"});
    const auto ready = child.waitForLine("ready ");
    ASSERT_TRUE(ready);
    EXPECT_EQ(platform::findWindow("Telnet"), std::stoul(ready->substr(6)));
}

TEST(Window, PicturesOfWindowsCoveredWhollyAreToldWithTheirTimesAndContent) {
    // Players' windows under the current camera's full view still show their pictures to the
    // watch (drawing into a covered window is clipped away, and reports no damage unless the
    // window is redirected); two drawn together are told apart, each at the time it was drawn,
    // and a picture drawn again is told from a new one.
    RawWindow player("player", nullptr);
    RawWindow second("second", nullptr);
    RawWindow cover("cover", nullptr);
    XMoveResizeWindow(cover.d, cover.w, 0, 0, 400, 400);
    XRaiseWindow(cover.d, cover.w);
    XSync(cover.d, False);
    struct Told {
        platform::WindowHandle window;
        int64_t at;
        platform::PictureContent content;
    };
    std::mutex lock;
    std::vector<Told> told;
    platform::PictureWatch watch(
        [&](platform::WindowHandle w, int64_t at, platform::PictureContent content) {
            std::lock_guard<std::mutex> g(lock);
            told.push_back({w, at, content});
        },
        {}, true);
    ASSERT_TRUE(watch.available());
    watch.watch({player.w, second.w}, true);
    waitUntil([] { return false; }, 300);
    {
        std::lock_guard<std::mutex> g(lock);
        told.clear();
    }
    // Ten new pictures, then the last one three times again; the second window's own colours.
    std::vector<std::pair<int64_t, int64_t>> drawn;
    for (unsigned long k = 1; k <= 13; ++k) {
        const int64_t before = platform::steadyMs();
        for (RawWindow* w : {&player, &second}) {
            GC gc = XCreateGC(w->d, w->w, 0, nullptr);
            XSetForeground(w->d, gc, std::min(k, 10ul) * (w == &player ? 0x101010 : 0x0F0001));
            XFillRectangle(w->d, w->w, gc, 0, 0, 50, 50);
            XFreeGC(w->d, gc);
            XSync(w->d, False);
        }
        drawn.emplace_back(before, platform::steadyMs());
        waitUntil([] { return false; }, 40);
    }
    const auto count = [&] {
        std::lock_guard<std::mutex> g(lock);
        return told.size();
    };
    ASSERT_TRUE(waitUntil([&] { return count() >= 26; }, 2000)) << count();
    std::lock_guard<std::mutex> g(lock);
    using C = platform::PictureContent;
    for (platform::WindowHandle w : {player.w, second.w}) {
        std::vector<Told> its;
        std::copy_if(told.begin(), told.end(), std::back_inserter(its),
                     [&](const Told& t) { return t.window == w; });
        ASSERT_EQ(its.size(), 13u);
        for (std::size_t k = 0; k < its.size(); ++k) {
            // (Milliseconds of the server's clock and of ours, each cut to the millisecond.)
            EXPECT_GE(its[k].at, drawn[k].first - 1) << k;
            EXPECT_LE(its[k].at, drawn[k].second + 1) << k;
            if (k > 0) {
                EXPECT_EQ(its[k].content, k < 10 ? C::New : C::Same) << k;
            }
        }
    }
}
