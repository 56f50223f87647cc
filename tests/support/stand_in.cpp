#include "stand_in.h"

#include <QFile>
#include <QJsonDocument>

#include <arpa/inet.h>
#include <fstream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace testing_support {

int freePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

std::string vlcConfigDir(const std::string& password) {
    const std::string dir = makeTempDir();
    chmod(dir.c_str(), 0755);
    mkdir((dir + "/vlc").c_str(), 0755);
    std::ofstream(dir + "/vlc/vlcrc") << "[lua]\ntelnet-password=" << password << "\n";
    return dir;
}

std::vector<QJsonObject> readStandInLog(const std::string& path, const QString& event) {
    std::vector<QJsonObject> out;
    QFile f(QString::fromStdString(path));
    if (!f.open(QIODevice::ReadOnly))
        return out;
    for (const QByteArray& line : f.readAll().split('\n')) {
        if (line.isEmpty())
            continue;
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        if (event.isEmpty() || o["event"].toString() == event)
            out.push_back(o);
    }
    return out;
}

StandIn::StandIn(int port, Options o) : port_(port) {
    log_ = makeTempDir() + "/stand_in.log";
    const std::string config = vlcConfigDir(o.password);
    std::vector<std::string> env = {
        "STAND_IN_LOG=" + log_,
        "STAND_IN_LENGTH=" + std::to_string(o.length),
        "STAND_IN_START=" + std::to_string(o.start),
        "STAND_IN_WINDOW_DELAY_MS=" + std::to_string(o.windowDelayMs),
        std::string("STAND_IN_NO_WINDOW=") + (o.window ? "0" : "1"),
        "XDG_CONFIG_HOME=" + config,
        "STAND_IN_PROMPT_DELAY_MS=" + std::to_string(o.promptDelayMs),
    };
    child_ = std::make_unique<Child>(
        buildDirectory() + "tools/stand_in_vlc",
        std::vector<std::string>{"-I", "telnet", "--telnet-port=" + std::to_string(port),
                                 "--video-title=" + o.title, "/media/take0_st.mpg"},
        env);
}

std::vector<QJsonObject> StandIn::events(const QString& event) const {
    return readStandInLog(log_, event);
}

std::vector<std::string> StandIn::lines() const {
    std::vector<std::string> out;
    for (const auto& o : events("line"))
        out.push_back(o["text"].toString().toStdString());
    return out;
}

bool StandIn::waitListening(int timeoutMs) const {
    return waitForPort(port_, timeoutMs);
}

bool portAccepts(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

bool waitForPort(int port, int timeoutMs) {
    return waitUntil([&] { return portAccepts(port); }, timeoutMs);
}

} // namespace testing_support
