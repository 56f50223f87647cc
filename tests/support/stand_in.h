// Test helper: the stand-in video player as a real process, with its own telnet password
// configuration and log, and a way to read back what reached it.
#pragma once

#include "child.h"

#include <QJsonObject>
#include <QString>

#include <memory>
#include <string>
#include <vector>

namespace testing_support {

// A TCP port on 127.0.0.1 that nothing listens on right now.
int freePort();

// Whether something accepts connections on 127.0.0.1:port now; waits until it does.
bool portAccepts(int port);
bool waitForPort(int port, int timeoutMs = 5000);

// A configuration folder whose vlc/vlcrc sets the telnet password (readable by everyone).
std::string vlcConfigDir(const std::string& password = "qopra");

// Reads a stand-in log: every JSON object, in order, optionally only one event kind.
std::vector<QJsonObject> readStandInLog(const std::string& path, const QString& event = {});

class StandIn {
public:
    struct Options {
        int length = 30;
        int start = 0;
        int windowDelayMs = 150;
        bool window = true;
        std::string title = "video";
        std::string password = "qopra";
        int promptDelayMs = 0;
    };
    explicit StandIn(int port, Options options);
    StandIn(int port) : StandIn(port, Options{}) {}

    int port() const { return port_; }
    const std::string& log() const { return log_; }
    Child& process() { return *child_; }
    std::vector<QJsonObject> events(const QString& event = {}) const;
    // Lines received after login, in order.
    std::vector<std::string> lines() const;
    // Waits until the telnet port accepts connections.
    bool waitListening(int timeoutMs = 5000) const;

private:
    int port_;
    std::string log_;
    std::unique_ptr<Child> child_;
};

} // namespace testing_support
