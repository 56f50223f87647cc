// Test fixture for the control program's main window.
#pragma once

#include "child.h"
#include "control/Player.h"
#include "platform/qt/message_box.h"
#include "platform/window.h"
#include "qt_wait.h"

#include <QAbstractSlider>
#include <QCoreApplication>
#include <QKeyEvent>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace testing_support {

// A key pressed in `target`, as the window system would deliver it.
inline void press(QWidget* target, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QKeyEvent e(QEvent::KeyPress, key, modifiers);
    QCoreApplication::sendEvent(target, &e);
}

// The operator drags `slider` to `value` (a move of the operator's, unlike setValue).
inline void drag(QAbstractSlider* slider, int value) {
    slider->setSliderDown(true);
    slider->setSliderPosition(value);
    slider->setSliderDown(false);
}

// A main window built in the test process, with stand-in or real relays as child processes,
// in a fresh current directory.
class ControlFixture : public ::testing::Test {
protected:
    void SetUp() override {
        dir = makeTempDir();
        ASSERT_EQ(chdir(dir.c_str()), 0);
        log = dir + "/relay.log";
        setenv("VORBELT_TEST_RELAY_LOG", log.c_str(), 1);
        unsetenv("VORBELT_TEST_RELAY_MODE");
        useRelay("tools/test_relay");
        setMessageBoxHandler([this](const QString& text, const QString& caption, BoxKind kind) {
            boxes.push_back((caption + ": " + text).toStdString());
            return kind == BoxKind::Question ? answer : BoxAnswer::Ok;
        });
    }
    void TearDown() override {
        if (form) {
            form->close();
            form.reset();
        }
        // Let Qt send the window's destruction to the X server before the next test looks.
        processUntil([] { return platform::findWindow("VorbeltPlayer") == 0; });
        setMessageBoxHandler({});
        unsetenv("VORBELT_RELAY_PROGRAM");
    }

    void useRelay(const std::string& relative) {
        setenv("VORBELT_RELAY_PROGRAM", (buildDirectory() + relative).c_str(), 1);
    }
    void writeNames(const std::string& content) {
        std::ofstream(dir + "/nevek.txt", std::ios::binary) << content;
    }
    void start() {
        form = std::make_unique<TForm1>();
        form->show();
    }
    std::vector<std::string> relayLog() {
        std::ifstream f(log);
        std::vector<std::string> lines;
        std::string line;
        while (std::getline(f, line))
            lines.push_back(line);
        return lines;
    }
    // "<message> <wParam> <lParam>" lines that relay `pid` received.
    std::vector<std::string> messagesOf(platform::ProcessId pid) {
        std::vector<std::string> out;
        for (const auto& l : relayLog())
            if (l.compare(0, std::to_string(pid).size() + 1, std::to_string(pid) + " ") == 0)
                out.push_back(l.substr(l.find(' ') + 1));
        return out;
    }

    std::string dir;
    std::string log;
    std::unique_ptr<TForm1> form;
    std::vector<std::string> boxes;
    BoxAnswer answer = BoxAnswer::Cancel;
};

} // namespace testing_support
