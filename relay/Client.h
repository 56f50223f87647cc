// The relay window: takes command messages posted by the control program, drives its video
// player over telnet and writes reports into its instance of the report pipe.
#pragma once

#include "platform/pipe.h"
#include "relay/telnet_client.h"

#include <QBasicTimer>
#include <QWidget>

#include <cstdint>
#include <memory>

namespace Ui {
class TelnetForm;
}
class PostedMessageFilter;

class TTelnetForm : public QWidget {
    Q_OBJECT
public:
    // Opens the report pipe, retrying until the control program offers an instance.
    explicit TTelnetForm(QWidget* parent = nullptr);
    ~TTelnetForm() override;

    // The window procedure for posted messages: command messages 0xD000.
    void WndProc(uint32_t message, uint32_t wParam, int32_t lParam);

    Ui::TelnetForm* ui() const { return ui_.get(); }
    TelnetClient& IdTelnetDemo() { return telnet_; }
    bool forwarding() const { return forwarding_; }

    // Reply handling of one chunk received from the video player.
    void IdTelnetDemoDataAvailable(const QByteArray& chunk);

public slots:
    void btnConnectClick();
    void btnDisconnectClick();
    void UpDown1Click(bool up);
    void Label1Click();
    void IdTelnetDemoConnect();
    void IdTelnetDemoStatus(TelnetClient::Status status);

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void timerEvent(QTimerEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void FormCreate();
    bool FormCloseQuery();
    void openReportPipe();
    void writeReport(const QByteArray& text, bool showCount);
    void setStatus(const QString& text);
    void connectOnCommand();
    // The password of the player on the telnet port: the secret the station gave it (read from
    // the players' profiles named in VORBELT_PLAYER_PROFILES), or the players' common password
    // when the relay runs alone or the station started no player on the port.
    QByteArray playerSecret() const;
    // File `name` of the station's player on the telnet port (in the players' profiles); empty
    // when the relay runs alone.
    QString playerFile(const char* name) const;
    // Why the listener reached on the local port is not the station's player (a user other
    // than the station's or the player's holds it); empty when it is.
    QString foreignListener() const;
    void playlistHandOver();
    void sendIfConnected(const QByteArray& line);
    void reportError(const std::exception& e);
    QString channelLabel() const { return windowTitle(); }

    std::unique_ptr<Ui::TelnetForm> ui_;
    TelnetClient telnet_;
    std::unique_ptr<PostedMessageFilter> filter_;

    bool forwarding_ = false;
    platform::PipeHandle pipe_ = platform::kInvalidPipe;
    uint32_t readMode_ = 0;
    uint32_t bytesWritten_ = 0;
    int32_t lastResult_ = 0;
    bool closed_ = false;
    QString pendingLog_; // received, not yet in the log
    QBasicTimer logTimer_;
    bool boxOpen_ = false;   // an error box is shown (its event loop runs the next commands)
    int unshownErrors_ = 0;  // errors while it is shown, counted in the status line
    long droppedChunks_ = 0; // the player's text dropped because it came too fast
};
