// The station installed: the files an installation into a scratch prefix and the Debian package
// hold, their form (menu entry, manual pages, no build path), and the installed station run
// from its prefix as an operator starts it.
#include "child.h"
#include "desktop.h"

#include <QDir>
#include <QDirIterator>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

using namespace testing_support;

namespace {

const std::set<std::string> kInstalled = {
    "bin/VorbeltPlayer",
    "libexec/vorbelt/brellon",
    "libexec/vorbelt/vlc-as-user",
    "share/vorbelt/vlc-profile/vlc/vlcrc",
    "share/applications/vorbelt-player.desktop",
    "share/icons/hicolor/scalable/apps/vorbelt-player.svg",
    "share/man/man1/VorbeltPlayer.1.gz",
    "share/man/man1/brellon.1.gz",
    "share/doc/vorbelt-player/copyright",
    "share/doc/vorbelt-player/changelog.gz",
};

std::set<std::string> filesUnder(const std::string& root) {
    std::set<std::string> files;
    QDirIterator it(QString::fromStdString(root), QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        files.insert(QDir(QString::fromStdString(root)).relativeFilePath(it.next()).toStdString());
    return files;
}

// What a command prints, standard error included.
std::string output(const std::string& command) {
    std::string text;
    if (FILE* p = popen((command + " 2>&1").c_str(), "r")) {
        char buf[4096];
        std::size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0)
            text.append(buf, n);
        pclose(p);
    }
    return text;
}

std::string build() {
    return buildDirectory().substr(0, buildDirectory().size() - 1);
}

// One installation for every test of this program.
const std::string& prefix() {
    static const std::string p = [] {
        const std::string dir = makeTempDir();
        chmod(dir.c_str(), 0755);
        const int rc = std::system(
            ("cmake --install '" + build() + "' --prefix '" + dir + "' >/dev/null").c_str());
        return rc == 0 ? dir : std::string();
    }();
    return p;
}

} // namespace

TEST(Install, APrefixHoldsExactlyTheStationsFilesWithoutABuildPath) {
    ASSERT_FALSE(prefix().empty()) << "cmake --install failed";
    EXPECT_EQ(filesUnder(prefix()), kInstalled);
    // Installed files name no folder of the build (nor of the sources above it).
    EXPECT_EQ(output("grep -rlF '" + build() + "' '" + prefix() + "'"), "");
    // The menu entry and the manual pages are of their standards' form.
    EXPECT_EQ(output("desktop-file-validate '" + prefix() +
                     "/share/applications/vorbelt-player.desktop'"),
              "");
    for (const char* page : {"VorbeltPlayer.1.gz", "brellon.1.gz"})
        EXPECT_EQ(output("MANROFFSEQ='' man --warnings -l '" + prefix() + "/share/man/man1/" +
                         page + "' >/dev/null"),
                  "")
            << page;
    // --help and --version answer without a window.
    EXPECT_NE(output("'" + prefix() + "/bin/VorbeltPlayer' --version").find("Vorbelt Player 1."),
              std::string::npos);
    EXPECT_NE(output("'" + prefix() + "/bin/VorbeltPlayer' --help").find("nevek.txt"),
              std::string::npos);
}

TEST(Install, WithoutADisplayBothProgramsSaySoInOneLineAndTheirHelpStillAnswers) {
    ASSERT_FALSE(prefix().empty()) << "cmake --install failed";
    const std::string station = "'" + prefix() + "/bin/VorbeltPlayer'";
    const std::string relay = "'" + prefix() + "/libexec/vorbelt/brellon'";
    const std::string bare = "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM ";
    EXPECT_EQ(output(bare + station + " 2>&1; echo \"status $?\""),
              "VorbeltPlayer: no X display could be opened (DISPLAY is not set).\nstatus 1\n");
    EXPECT_EQ(output(bare + relay + " 2>&1; echo \"status $?\""),
              "brellon: no X display could be opened (DISPLAY is not set).\nstatus 1\n");
    EXPECT_NE(output(bare + relay + " --help").find("report pipe"), std::string::npos);
    EXPECT_NE(output(bare + relay + " --version").find("brellon 1."), std::string::npos);
}

TEST(Install, FromTheMenuTheStationWorksInItsOwnFolderOfTheHome) {
    ASSERT_FALSE(prefix().empty()) << "cmake --install failed";
    // The menu entry asks for it; from a terminal the current folder stays the station's.
    EXPECT_EQ(output("grep '^Exec=' '" + prefix() + "/share/applications/vorbelt-player.desktop'"),
              "Exec=VorbeltPlayer --from-menu\n");
    const std::string home = makeTempDir();
    const std::string started =
        output("cd / && HOME='" + home + "' XDG_RUNTIME_DIR='" + home +
               "' QT_QPA_PLATFORM=offscreen " + "VORBELT_MESSAGE_BOX_LOG='" + home + "/boxes' '" +
               prefix() + "/bin/VorbeltPlayer' --from-menu >/dev/null 2>&1 & pid=$!; " +
               "for k in $(seq 50); do [ \"$(readlink /proc/$pid/cwd)\" = '" + home +
               "/Vorbelt' ] && break; sleep 0.1; done; readlink /proc/$pid/cwd; kill -9 $pid");
    EXPECT_EQ(started, home + "/Vorbelt\n");
}

TEST(Install, ThePackageHoldsTheSameFilesUnderUsr) {
    const std::string out = makeTempDir();
    ASSERT_EQ(std::system(("cd '" + out + "' && cpack --config '" + build() +
                           "/CPackConfig.cmake' >cpack.log 2>&1")
                              .c_str()),
              0)
        << output("cat '" + out + "/cpack.log'");
    const std::string deb = output("ls '" + out + "'/*.deb | head -n 1");
    ASSERT_FALSE(deb.empty());
    const std::string unpacked = out + "/root";
    ASSERT_EQ(std::system(
                  ("dpkg-deb -x " + deb.substr(0, deb.size() - 1) + " '" + unpacked + "'").c_str()),
              0);
    EXPECT_EQ(filesUnder(unpacked + "/usr"), kInstalled);
    EXPECT_EQ(filesUnder(unpacked).size(), kInstalled.size());
    const std::string fields = output("dpkg-deb -f " + deb.substr(0, deb.size() - 1));
    EXPECT_NE(fields.find("Section: video"), std::string::npos) << fields;
    EXPECT_NE(fields.find("vlc-plugin-video-output"), std::string::npos) << fields;
    EXPECT_NE(fields.find("fonts-liberation2"), std::string::npos) << fields;
    EXPECT_NE(fields.find("libqt6widgets6"), std::string::npos) << fields;
    if (access("/usr/bin/lintian", X_OK) == 0) {
        const std::string report = output("lintian " + deb.substr(0, deb.size() - 1));
        EXPECT_EQ(report.find("E: "), std::string::npos) << report;
    }
}

TEST(Install, TheInstalledStationRunsFromItsPrefixAndLeavesNothing) {
    ASSERT_FALSE(prefix().empty());
    e2e::Desktop desktop;
    const std::string folder = makeTempDir();
    std::ofstream(folder + "/nevek.txt") << "north\nsouth\nwest";
    // As an operator starts it: none of the tests' program choices.
    unsetenv("VORBELT_RELAY_PROGRAM");
    unsetenv("VORBELT_VIDEO_PLAYER_PROGRAM");
    Child station(prefix() + "/bin/VorbeltPlayer", {}, {}, folder);
    e2e::Window main = 0;
    ASSERT_TRUE(waitUntil([&] { return (main = desktop.find("VorbeltPlayer")) != 0; }, 20000));
    std::vector<pid_t> relays;
    for (pid_t p : childrenOf(station.pid())) {
        char exe[4096] = {};
        const ssize_t n =
            readlink(("/proc/" + std::to_string(p) + "/exe").c_str(), exe, sizeof exe - 1);
        if (n > 0) {
            EXPECT_EQ(std::string(exe, static_cast<std::size_t>(n)),
                      prefix() + "/libexec/vorbelt/brellon");
        }
        relays.push_back(p);
    }
    EXPECT_EQ(relays.size(), 3u);
    EXPECT_TRUE(waitUntil([&] { return desktop.focused() == main; }, 5000));
    desktop.click(532, 20); // Exit
    EXPECT_TRUE(station.wait(15000));
    for (pid_t p : relays)
        EXPECT_TRUE(waitUntil([&] { return !processAlive(p); })) << p;
}
