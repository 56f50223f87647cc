// The relay window with the real report pipe and real posted messages, in this process,
// and the relay program as a real process.
#include "child.h"
#include "platform/pipe.h"
#include "platform/process.h"
#include "platform/qt/message_box.h"
#include "platform/window.h"
#include "qt_wait.h"
#include "relay/Client.h"
#include "ui_Client.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

#include <fstream>
#include <future>

using namespace testing_support;

namespace {

const std::string kPipe = platform::kReportPipeName;

class RelayWindow : public ::testing::Test {
protected:
    void SetUp() override {
        instance = platform::createNamedPipe(kPipe);
        ASSERT_NE(instance, platform::kInvalidPipe);
        form = std::make_unique<TTelnetForm>();
        ASSERT_NE(platform::connectNamedPipe(instance, 1000), platform::PipeConnect::TimedOut);
        form->showMinimized();
        window = form->winId();
        boxes.clear();
        setMessageBoxHandler([this](const QString& text, const QString& caption, BoxKind) {
            boxes.push_back((caption + ": " + text).toStdString());
            return BoxAnswer::Ok;
        });
    }
    void TearDown() override {
        setMessageBoxHandler({});
        form.reset();
        platform::closePipe(instance);
    }

    // Posts a command message and waits until the relay has handled it: a code 0 posted
    // after it changes the caption once the queue has been worked through (and, like every
    // command message, ends reply forwarding). The caption is put back afterwards.
    void post(uint32_t code, int32_t arg) {
        const QString before = form->windowTitle();
        ASSERT_TRUE(platform::postMessage(window, 0xD000, code, arg));
        ASSERT_TRUE(platform::postMessage(window, 0x7FFF, 0, 0)); // not a command: ignored
        const QString marker = QString::number(++markers + 1000000);
        ASSERT_TRUE(platform::postMessage(window, 0xD000, 0, marker.toInt()));
        ASSERT_TRUE(processUntil([&] { return form->windowTitle() == marker; }));
        form->setWindowTitle(before);
    }

    // Posts and waits for the caption to become `caption`.
    void postExpectCaption(uint32_t code, int32_t arg, const QString& caption) {
        ASSERT_TRUE(platform::postMessage(window, 0xD000, code, arg));
        EXPECT_TRUE(processUntil([&] { return form->windowTitle() == caption; }))
            << form->windowTitle().toStdString();
    }

    // The relay works on this thread: keep its events going while the report is read.
    std::string readReport() {
        auto pending = std::async(std::launch::async, [h = instance] {
            char buf[512];
            const platform::PipeRead r = platform::readPipe(h, buf, sizeof buf);
            return r.ok ? std::string(buf, r.bytes) : std::string("<end>");
        });
        if (!processUntil([&] {
                return pending.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
            })) {
            platform::cancelPipeIo(instance);
            return "<no report>";
        }
        return pending.get();
    }

    QString status() const { return form->ui()->sbrStatus->currentMessage(); }

    platform::PipeHandle instance = platform::kInvalidPipe;
    std::unique_ptr<TTelnetForm> form;
    platform::WindowHandle window = 0;
    std::vector<std::string> boxes;
    int markers = 0;
};

} // namespace

TEST_F(RelayWindow, StartsAsDesigned) {
    EXPECT_EQ(form->windowTitle(), "Telnet");
    EXPECT_EQ(platform::findWindow("Telnet"), window);
    EXPECT_EQ(form->ui()->edtServer->text(), "127.0.0.1");
    EXPECT_EQ(form->ui()->spnedtPort->text(), "4212");
    EXPECT_EQ(form->IdTelnetDemo().port, 23);
    EXPECT_EQ(form->IdTelnetDemo().terminalType, "dumb");
    EXPECT_EQ(form->IdTelnetDemo().receiveBufferSize, 8192);
    EXPECT_TRUE(form->isMinimized());
    EXPECT_FALSE(form->forwarding());
}

TEST_F(RelayWindow, StartUpCodesSetCaptionHostAndPort) {
    postExpectCaption(0, 3, "3");
    EXPECT_EQ(platform::findWindow("3"), window);
    EXPECT_EQ(platform::findWindow("Telnet"), 0u);

    post(1, 0);
    EXPECT_EQ(form->ui()->edtServer->text(), "127.0.0.1");
    EXPECT_EQ(form->IdTelnetDemo().host, "127.0.0.1");
    EXPECT_EQ(form->IdTelnetDemo().bindAddress, "127.0.0.1");
    post(1, 5);
    EXPECT_EQ(form->ui()->edtServer->text(), "192.168.137.5");
    EXPECT_EQ(form->IdTelnetDemo().host, "192.168.137.5");
    EXPECT_EQ(form->IdTelnetDemo().bindAddress, "127.0.0.1");

    post(2, 9001);
    EXPECT_EQ(form->ui()->spnedtPort->text(), "9001");
    EXPECT_EQ(form->IdTelnetDemo().port, 9001);
}

TEST_F(RelayWindow, CodesAbove36SetTheCaptionAsASignedNumber) {
    postExpectCaption(37, 0, "37");
    postExpectCaption(0xFFFFFFFFu, 0, "-1");
    // The caption is the label of later reports.
    ASSERT_TRUE(platform::postMessage(window, 0xD000, 3, 0));
    EXPECT_EQ(readReport(), "Cam: -1 Warning !");
}

TEST_F(RelayWindow, FailedConnectOnCommandWarnsUnderTheChannelLabel) {
    // Before code 0 the label is still "Telnet".
    ASSERT_TRUE(platform::postMessage(window, 0xD000, 3, 0));
    EXPECT_EQ(readReport(), "Cam: Telnet Warning !");
    postExpectCaption(0, 2, "2");
    ASSERT_TRUE(platform::postMessage(window, 0xD000, 3, 0));
    const std::string report = readReport();
    EXPECT_EQ(report, "Cam: 2 Warning !");
    EXPECT_EQ(report.size(), 16u);
    ASSERT_TRUE(processUntil([&] { return status() == "Not Responding"; }));
}

TEST_F(RelayWindow, FailedConnectButtonAsksForAReinstallAndLeavesTheStatus) {
    postExpectCaption(0, 0, "0");
    form->ui()->sbrStatus->showMessage("before");
    form->btnConnectClick();
    const std::string report = readReport();
    EXPECT_EQ(report, "Cam. 0 Reinstall !!!");
    EXPECT_EQ(report.size(), 20u);
    EXPECT_EQ(status(), "before");
    EXPECT_EQ(form->IdTelnetDemo().host, "127.0.0.1");
    EXPECT_EQ(form->IdTelnetDemo().port, 4212);

    // A port text that is not a number stops the button before anything else happens.
    form->ui()->edtServer->setText("10.0.0.9");
    form->ui()->spnedtPort->setText("42x");
    form->btnConnectClick();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_NE(boxes[0].find("'42x' is not a valid integer value"), std::string::npos);
    EXPECT_EQ(form->IdTelnetDemo().host, "10.0.0.9");
    EXPECT_EQ(form->IdTelnetDemo().port, 4212);
}

TEST_F(RelayWindow, ForwardingFollowsTheLastCommand) {
    // 22 and 23 turn forwarding on even without a connection; any other command ends it.
    ASSERT_TRUE(platform::postMessage(window, 0xD000, 23, 0));
    ASSERT_TRUE(processUntil([&] { return form->forwarding(); }));
    for (uint32_t code : {20u, 25u, 4u, 37u}) {
        ASSERT_TRUE(platform::postMessage(window, 0xD000, 22, 0));
        ASSERT_TRUE(processUntil([&] { return form->forwarding(); }));
        ASSERT_TRUE(platform::postMessage(window, 0xD000, code, 3));
        EXPECT_TRUE(processUntil([&] { return !form->forwarding(); })) << code;
    }
}

TEST_F(RelayWindow, RepliesAreForwardedWholeWhileForwarding) {
    // Forwarding off: only the log.
    form->IdTelnetDemoDataAvailable("13\r\n> ");
    EXPECT_TRUE(form->ui()->Memo1->toPlainText().contains("13"));
    ASSERT_TRUE(platform::postMessage(window, 0xD000, 22, 0));
    ASSERT_TRUE(processUntil([&] { return form->forwarding(); }));
    form->IdTelnetDemoDataAvailable("110\r\n> ");
    form->IdTelnetDemoDataAvailable("1234\r\n> ");
    form->IdTelnetDemoDataAvailable("");
    form->IdTelnetDemoDataAvailable("10999\r\n");
    EXPECT_EQ(readReport(), "110\r\n> ");
    EXPECT_EQ(readReport(), "1234\r\n> ");
    EXPECT_EQ(readReport(), "10999\r\n");
    EXPECT_EQ(status(), "7");
    EXPECT_TRUE(form->ui()->Memo1->toPlainText().contains("110"));
}

TEST_F(RelayWindow, WriteFailuresShowTheSystemErrorAndTheRelayGoesOn) {
    platform::closePipe(instance);
    instance = platform::kInvalidPipe;
    ASSERT_TRUE(platform::postMessage(window, 0xD000, 3, 0));
    ASSERT_TRUE(
        processUntil([&] { return status().startsWith("WriteFile to pipe failed. GLE="); }));
    EXPECT_EQ(status(), "WriteFile to pipe failed. GLE=" + QString::number(EPIPE));
    postExpectCaption(0, 6, "6");
}

TEST_F(RelayWindow, ArrowsStepThePortTextWithoutLimits) {
    form->ui()->spnedtPort->setText("0");
    form->UpDown1Click(false);
    EXPECT_EQ(form->ui()->spnedtPort->text(), "-1");
    form->UpDown1Click(true);
    form->UpDown1Click(true);
    EXPECT_EQ(form->ui()->spnedtPort->text(), "1");
    EXPECT_EQ(form->IdTelnetDemo().port, 23) << "the client's port is not touched";
    form->ui()->spnedtPort->setText("abc");
    form->UpDown1Click(true);
    EXPECT_EQ(boxes.size(), 1u);
    EXPECT_EQ(form->ui()->spnedtPort->text(), "abc");
}

TEST_F(RelayWindow, PlaylistHandOverReadsAndDeletesItsFile) {
    const QString dir = QString::fromStdString(platform::executableDirectory()) + "temp";
    const QString file = dir + "/playlist.txt";
    QDir().mkpath(dir);
    QFile::remove(file);
    // Missing file: the error is reported and nothing else happens.
    post(16, 0);
    ASSERT_EQ(boxes.size(), 1u);
    {
        std::ofstream f(file.toStdString());
        f << "load /x/first.vlm\r\nsecond\r\n";
    }
    post(16, 0);
    EXPECT_EQ(boxes.size(), 1u);
    EXPECT_FALSE(QFile::exists(file));
    EXPECT_EQ(form->ui()->ListBox1->count(), 0);
}

TEST_F(RelayWindow, Code27ClosesTheRelayAndItsPipe) {
    ASSERT_TRUE(platform::postMessage(window, 0xD000, 27, 0));
    ASSERT_TRUE(processUntil([&] { return !form->isVisible(); }));
    EXPECT_EQ(readReport(), "<end>");
}

TEST(RelayProcess, ShowsNoWindowUntilAnInstanceExistsThenTakesCommands) {
    const std::string relay = buildDirectory() + "brellon";
    const platform::ProcessId pid = platform::createProcess(relay, "Telnet");
    ASSERT_GT(pid, 0);
    processFor(700);
    EXPECT_EQ(platform::findWindow("Telnet"), 0u);
    const platform::PipeHandle instance = platform::createNamedPipe(kPipe);
    ASSERT_NE(platform::connectNamedPipe(instance, 5000), platform::PipeConnect::TimedOut);
    platform::WindowHandle w = 0;
    ASSERT_TRUE(waitUntil([&] { return (w = platform::findWindow("Telnet")) != 0; }));
    ASSERT_TRUE(platform::postMessage(w, 0xD000, 0, 7));
    ASSERT_TRUE(waitUntil([&] { return platform::findWindow("7") == w; }));
    ASSERT_TRUE(platform::postMessage(w, 0xD000, 3, 0));
    char buf[512];
    const platform::PipeRead r = platform::readPipe(instance, buf, sizeof buf);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(std::string(buf, r.bytes), "Cam: 7 Warning !");
    // Closing the window ends the program, and the pipe with it.
    ASSERT_TRUE(platform::postMessage(w, platform::WM_CLOSE_MESSAGE, 0, 0));
    EXPECT_FALSE(platform::readPipe(instance, buf, sizeof buf).ok);
    EXPECT_TRUE(waitUntil([&] { return !platform::processRunning(pid); }));
    platform::closePipe(instance);
}
