// Test fixture for the control program with video players: real relays ("brellon") and the
// stand-in video player, whose log tells what reached each player.
#pragma once

#include "control/Open.h"
#include "control_fixture.h"
#include "stand_in.h"

#include <QJsonObject>
#include <sys/stat.h>

namespace testing_support {

class PlayerFixture : public ControlFixture {
protected:
    void SetUp() override {
        ControlFixture::SetUp();
        useRelay("brellon");
        log = dir + "/players.log";
        config = vlcConfigDir();
        setenv("VORBELT_VIDEO_PLAYER_PROGRAM", (buildDirectory() + "tools/stand_in_vlc").c_str(),
               1);
        setenv("STAND_IN_LOG", log.c_str(), 1);
        setenv("STAND_IN_LENGTH", "125", 1);
        // The stand-in reads its password where the station points it: the station's profile.
    }
    void TearDown() override {
        TFrame1::setDialogHook({});
        ControlFixture::TearDown();
        unsetenv("VORBELT_VIDEO_PLAYER_PROGRAM");
        unsetenv("STAND_IN_LOG");
        unsetenv("STAND_IN_LENGTH");
    }
    // Files take0_st.mpg ... in `folder` (inside the test folder); Load chooses the first.
    void recording(int files, const std::string& folder = "rec") {
        const std::string d = dir + "/" + folder;
        mkdir(d.c_str(), 0755);
        for (int k = 0; k < files; ++k)
            std::ofstream(d + "/take" + std::to_string(k) + "_st.mpg") << "x";
        chosen = QString::fromStdString(d + "/take0_st.mpg");
        TFrame1::setDialogHook([this](QFileDialog&) { return chosen; });
    }
    std::vector<QJsonObject> events(const QString& kind, int port) {
        std::vector<QJsonObject> out;
        for (const auto& o : readStandInLog(log, kind))
            if (o["port"].toInt() == port)
                out.push_back(o);
        return out;
    }
    // Keys the player on `port` received, in order.
    std::vector<std::string> keysOf(int port) {
        std::vector<std::string> keys;
        for (const auto& k : events("key", port))
            keys.push_back(k["key"].toString().toStdString());
        return keys;
    }
    std::vector<std::string> lines(int port) {
        std::vector<std::string> out;
        for (const auto& o : events("line", port))
            out.push_back(o["text"].toString().toStdString());
        return out;
    }
    std::string log;
    std::string config;
    QString chosen;
};

} // namespace testing_support
