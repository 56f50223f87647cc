// The toolkit-free rules: relay command table, report texts and report reading, number
// texts, command-line splitting, names, file sets and screen geometry.
#include "core/command_line.h"
#include "core/file_set.h"
#include "core/geometry.h"
#include "core/keys.h"
#include "core/names.h"
#include "core/player_launch.h"
#include "core/relay_commands.h"
#include "core/reports.h"
#include "core/settings.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>

using namespace vorbelt;

namespace {

struct SendRow {
    uint32_t code;
    int32_t arg;
    const char* line; // nullptr: nothing is sent
};

std::string describe(uint32_t code, int32_t arg) {
    return "code " + std::to_string(code) + " arg " + std::to_string(arg);
}

} // namespace

TEST(CommandTable, EverySendingRowGivesItsLine) {
    const SendRow rows[] = {
        {4, 0, "control preview play"},
        {4, 1, "control preview pause"},
        {4, 2, "control preview stop"},
        {4, 3, nullptr},
        {4, -1, nullptr},
        {5, 1, "next"},
        {5, 0, "prev"},
        {5, 2, "prev"},
        {6, 0, "control capture play"},
        {6, 1, "control capture pause"},
        {6, 2, "control capture stop"},
        {6, 3, nullptr},
        {7, 0, "control capture0 play"},
        {7, 1, "control capture0 pause"},
        {7, 2, "control capture0 stop"},
        {7, 9, nullptr},
        {8, 1, "control capture pause"},
        {8, 7, "control capture stop"},
        {9, 1, "control capture0 pause"},
        {9, 0, "control capture0 stop"},
        {10, 1, "control file1 play"},
        {10, 0, "control file0 play"},
        {10, -3, "control file-3 play"},
        {11, 12, "control file12 pause"},
        {12, 0, "control file0 stop"},
        {13, 0, "control hang play"},
        {13, 1, "control hang pause"},
        {13, 2, "control hang stop"},
        {13, 3, nullptr},
        {14, 0, "control hang1 play"},
        {14, 1, "control hang1 pause"},
        {14, 2, "control hang1 stop"},
        {14, -1, nullptr},
        {15, 0, "load c:\\utils\\server\\hang_vlm.vlm"},
        {17, 0, "play"},
        {17, 1, "pause"},
        {17, 2, "stop"},
        {17, 3, nullptr},
        {18, 5, "stop"},
        {19, 0, "rate 0.0"},
        {19, 5, "rate 0.5"},
        {19, 99, "rate 0.99"},
        {19, 100, "rate 1.0"},
        {19, 105, "rate 1.5"},
        {19, 150, "rate 1.50"},
        {19, 250, "rate 1.150"},
        {19, -5, "rate 0.-5"},
        {20, 0, "seek 0"},
        {20, 125, "seek 125"},
        {20, -4, "seek -4"},
        // Milliseconds in whole seconds: "seek 12500ms" would go to minute 12500.
        {21, 1500, "seek 1"},
        {21, 12500, "seek 12"},
        {21, 999, "seek 0"},
        {22, 0, "get_time"},
        {23, 0, "get_length"},
        {24, 0, "frame"},
        {25, 0, nullptr},
        {26, 0, "shutdown"},
        {28, 0, "load test.vlm"},
        {29, 0, "del all"},
        {30, 300, "setup preview option live-caching=300"},
        {31, 0, "show hang"},
        {31, 1, "show capture"},
        {31, 2, "show capture0"},
        {31, 3, "show file0"},
        {31, 4, "show file1"},
        {31, 5, nullptr},
        {32, 0, "control file0 seek 0ms"},
        {32, 3, "control file0 seek +99ms"},
        {32, -2, "control file0 seek -66ms"},
        {33, 0, "control file1 seek 0ms"},
        {33, 1, "control file1 seek +33ms"},
        {33, -1, "control file1 seek -33ms"},
        {34, 0, "control hang1 seek 0ms"},
        {34, 10, "control hang1 seek +330ms"},
        {34, -10, "control hang1 seek -330ms"},
        {35, 256, "volume 256"},
        {36, 2, "vtrack 2"},
        {40, 166195122, "seek 16.6195122%"},
        {40, 1000000000, "seek 100.0000000%"},
        {40, 5, "seek 0.0000005%"},
        {40, -1, nullptr},
        {40, 1000000001, nullptr},
    };
    for (const auto& row : rows) {
        const RelayAction a = relayCommand(row.code, row.arg);
        if (row.line) {
            EXPECT_EQ(a.kind, RelayActionKind::SendLine) << describe(row.code, row.arg);
            EXPECT_EQ(a.text, row.line) << describe(row.code, row.arg);
        } else {
            EXPECT_EQ(a.kind, RelayActionKind::Nothing) << describe(row.code, row.arg);
        }
        EXPECT_EQ(a.forwardReplies, row.code == 22 || row.code == 23)
            << describe(row.code, row.arg);
    }
}

TEST(CommandTable, EveryCodeUpTo36HasARowAndLargerCodesSetTheCaption) {
    for (uint32_t code = 0; code <= kLastCommandCode; ++code) {
        const RelayAction a = relayCommand(code, 0);
        const bool captionFromCode = a.kind == RelayActionKind::SetCaption && code != 0;
        EXPECT_FALSE(captionFromCode) << code;
    }
    EXPECT_EQ(relayCommand(37, 5).kind, RelayActionKind::SetCaption);
    EXPECT_EQ(relayCommand(37, 5).text, "37");
    EXPECT_EQ(relayCommand(41, 5).text, "41");
    EXPECT_EQ(relayCommand(0xFFFFFFFFu, 0).text, "-1");
    EXPECT_EQ(relayCommand(0x80000000u, 0).text, "-2147483648");
}

TEST(CommandTable, SettingRows) {
    RelayAction a = relayCommand(0, 3);
    EXPECT_EQ(a.kind, RelayActionKind::SetCaption);
    EXPECT_EQ(a.text, "3");

    a = relayCommand(1, 0);
    EXPECT_EQ(a.kind, RelayActionKind::SetHost);
    EXPECT_EQ(a.text, "127.0.0.1");
    EXPECT_TRUE(a.setBindAddress);

    a = relayCommand(1, 5);
    EXPECT_EQ(a.text, "192.168.137.5");
    EXPECT_FALSE(a.setBindAddress);

    a = relayCommand(2, 9001);
    EXPECT_EQ(a.kind, RelayActionKind::SetPort);
    EXPECT_EQ(a.number, 9001);

    EXPECT_EQ(relayCommand(3, 0).kind, RelayActionKind::Connect);
    EXPECT_EQ(relayCommand(16, 0).kind, RelayActionKind::Playlist);
    EXPECT_EQ(relayCommand(27, 0).kind, RelayActionKind::Close);
    EXPECT_EQ(relayCommand(15, 0, "/opt/relay/hang_vlm.vlm").text, "load /opt/relay/hang_vlm.vlm");
}

TEST(CommandTable, FrameStepsWrapIn32Bits) {
    // 33 x 100000000 does not fit 32 bits: the product wraps as the original integers do,
    // and the sign of the argument still decides the "+".
    EXPECT_EQ(relayCommand(32, 100000000).text,
              "control file0 seek +" + std::to_string(static_cast<int32_t>(3300000000u)) + "ms");
    EXPECT_EQ(relayCommand(19, INT32_MAX).text, "rate 1." + std::to_string(INT32_MAX - 100));
}

TEST(Reports, WarningAndReinstallTexts) {
    EXPECT_EQ(warningReport("2"), "Cam: 2 Warning !");
    EXPECT_EQ(warningReport("2").size(), 16u);
    EXPECT_EQ(reinstallReport("0"), "Cam. 0 Reinstall !!!");
    EXPECT_EQ(reinstallReport("0").size(), 20u);
    EXPECT_EQ(warningReport("Telnet"), "Cam: Telnet Warning !");
}

TEST(Reports, ReadingRules) {
    struct Step {
        const char* report;
        std::optional<int32_t> value;
        const char* lastText;
    };
    // One channel's reports in order: each row depends on what the previous rows stored.
    const Step steps[] = {
        {"99", std::nullopt, ""},     // first short report: nothing yet
        {"12345", 12345, "12345"},    // five digits
        {"999", 12345, "12345"},      // too short: the previous number again
        {"1234", 12345, "12345"},     // four bytes is still too short
        {"> \r\n> ", 12345, "12345"}, // long enough, no digits
        {"a1 b2 c3", 123, "123"},     // scattered digits
        // A relay's own notices are no answers of its player: neither a position nor a length.
        {"Cam: 2 Warning !", std::nullopt, "123"},
        {"Cam. 0 Reinstall !!!", std::nullopt, "123"},
        {"Cam: Telnet Warning !", std::nullopt, "123"},
        {"13\r\n> ", 13, "13"},                       // VLC's answer with its prompt
        {"110\r\n> ", 110, "110"},                    // digits 1 and 0 together stay one number
        {"12345678901", std::nullopt, "12345678901"}, // stored, but does not fit
        {"777", std::nullopt, "12345678901"},         // the failure repeats on short reports
        {"2147483647\r\n", 2147483647, "2147483647"},
        {"2147483648\r\n", std::nullopt, "2147483648"},
    };
    std::string last;
    for (const auto& s : steps) {
        const auto v = reportValue(s.report, std::strlen(s.report), last);
        EXPECT_EQ(v, s.value) << s.report;
        EXPECT_EQ(last, s.lastText) << s.report;
    }
}

TEST(Reports, LengthPhaseKeepsTheLongest) {
    LengthDisplay d{0, 0, 0, 0};
    for (int32_t length : {300, 125, 301})
        d = lengthPhase(d.maximum, length);
    EXPECT_EQ(d.maximum, 301);
    EXPECT_EQ(d.minutes, 5);
    EXPECT_EQ(d.seconds, 1);
    EXPECT_EQ(d.tickEvery, 30);
}

TEST(Numbers, DecimalAndParse) {
    EXPECT_EQ(decimal(0), "0");
    EXPECT_EQ(decimal(-66), "-66");
    EXPECT_EQ(decimal(INT32_MIN), "-2147483648");
    EXPECT_EQ(parseInt32("0042"), 42);
    EXPECT_EQ(parseInt32("-2147483648"), INT32_MIN);
    EXPECT_EQ(parseInt32("-2147483649"), std::nullopt);
    EXPECT_EQ(parseInt32(""), std::nullopt);
    EXPECT_EQ(parseInt32("-"), std::nullopt);
    EXPECT_EQ(parseInt32("12a"), std::nullopt);
    EXPECT_EQ(parseInt32(std::string(300, '9')), std::nullopt);
}

TEST(CommandLine, WindowsSplittingRules) {
    using V = std::vector<std::string>;
    EXPECT_EQ(splitCommandLine("Telnet"), V{"Telnet"});
    EXPECT_EQ(splitCommandLine(" -I telnet"), (V{"", "-I", "telnet"}));
    EXPECT_EQ(splitCommandLine("vlc  -I   telnet\t--x"), (V{"vlc", "-I", "telnet", "--x"}));
    EXPECT_EQ(splitCommandLine("\"c:/a b/vlc.exe\" x"), (V{"c:/a b/vlc.exe", "x"}));
    // The program name takes backslashes as they stand.
    EXPECT_EQ(splitCommandLine("c:\\utils\\vlc.exe a"), (V{"c:\\utils\\vlc.exe", "a"}));
    EXPECT_EQ(splitCommandLine("p \"a b\" c"), (V{"p", "a b", "c"}));
    EXPECT_EQ(splitCommandLine("p a\\\\\\\"b"), (V{"p", "a\\\"b"}));    // 3 backslashes + quote
    EXPECT_EQ(splitCommandLine("p \"a\\\\\" b"), (V{"p", "a\\", "b"})); // 2 backslashes + quote
    EXPECT_EQ(splitCommandLine("p a\\b\\\\c"), (V{"p", "a\\b\\\\c"}));  // no quote after them
    EXPECT_EQ(splitCommandLine("p \"a\"\"b\" c"), (V{"p", "a\"b", "c"}));
    EXPECT_EQ(splitCommandLine("p \"\""), (V{"p", ""}));
    EXPECT_EQ(splitCommandLine("p x\"y z\"w"), (V{"p", "xy zw"}));
    EXPECT_EQ(splitCommandLine(""), V{""});
}

TEST(CommandLine, QuotedArgumentsComeBackWhole) {
    for (std::string a : {"plain", "a folder/take0_st.mpg", "ends\\", "q\"uote", "\\\"", "",
                          "c:\\rec\\take 1\\", "tab\there"}) {
        const auto args = splitCommandLine("p " + quoteArgument(a));
        ASSERT_EQ(args.size(), 2u) << a;
        EXPECT_EQ(args[1], a);
    }
}

TEST(Geometry, ScreenPlacementFromDesktopWidth) {
    EXPECT_EQ(screenPlacement(1280).leftOrigin, 0);
    EXPECT_EQ(screenPlacement(1920).fullViewOrigin, 0);
    EXPECT_EQ(screenPlacement(1921).fullViewOrigin, -1920);
    EXPECT_EQ(screenPlacement(3840).leftOrigin, 0);
    EXPECT_EQ(screenPlacement(3840).fullViewOrigin, -1920);
    EXPECT_EQ(screenPlacement(3841).leftOrigin, -3840);
    EXPECT_EQ(screenPlacement(3841).fullViewOrigin, -3840);
    EXPECT_EQ(screenPlacement(5760).leftOrigin, -3840);
}

TEST(Geometry, ResolutionAndTiles) {
    struct Row {
        int item, cameras, width, height, tileW, tileH;
    };
    const Row rows[] = {{0, 4, 3840, 2160, 960, 540},
                        {1, 4, 1920, 1080, 480, 270},
                        {2, 3, 1366, 768, 455, 256},
                        {1, 5, 1920, 1080, 384, 216},
                        {1, 7, 1920, 1080, 274, 154}};
    for (const auto& r : rows) {
        const auto size = resolutionSize(r.item);
        ASSERT_TRUE(size);
        EXPECT_EQ(size->width, r.width);
        EXPECT_EQ(size->height, r.height);
        const auto tile = tileSize(*size, r.cameras);
        ASSERT_TRUE(tile);
        EXPECT_EQ(tile->width, r.tileW) << r.item << "/" << r.cameras;
        EXPECT_EQ(tile->height, r.tileH) << r.item << "/" << r.cameras;
    }
    EXPECT_FALSE(resolutionSize(3));
    EXPECT_FALSE(resolutionSize(-1));
    EXPECT_FALSE(tileSize({1920, 1080}, 0));
}

TEST(Geometry, CompactWindowCellGrid) {
    struct Row {
        int item;
        int channel;
        int x, y;
    };
    const Row rows[] = {
        {1, 0, 640, 0},     {1, 1, 1280, 0},  {1, 2, 640, 360},  {1, 3, 1280, 360},
        {1, 4, 0, 720},     {1, 5, 640, 720}, {1, 6, 1280, 720}, {2, 0, 455, 0},
        {2, 1, 910, 0},     {2, 2, 455, 256}, {2, 3, 910, 256},  {2, 4, 0, 512},
        {2, 5, 455, 512},   {2, 6, 910, 512}, {0, 0, 0, 2025},   {0, 3, 1440, 2025},
        {0, 6, 2880, 2025},
    };
    const Size cells[] = {{480, 270}, {640, 360}, {455, 256}};
    for (const auto& r : rows) {
        const auto c = cellPlacement(r.channel, r.item, 0);
        ASSERT_TRUE(c) << r.item << " " << r.channel;
        EXPECT_EQ(c->left, r.x) << r.item << " " << r.channel;
        EXPECT_EQ(c->top, r.y) << r.item << " " << r.channel;
        EXPECT_EQ(c->width, cells[r.item].width);
        EXPECT_EQ(c->height, cells[r.item].height);
    }
    EXPECT_EQ(cellPlacement(2, 1, -3840)->left, -3840 + 640) << "x from the left origin";
    EXPECT_FALSE(cellPlacement(7, 1, 0)) << "channels 7 and above are never placed";
    EXPECT_FALSE(cellPlacement(0, -1, 0)) << "no resolution chosen";
    EXPECT_FALSE(cellSize(3));
    // Full view: three cells each way, or the whole 3840 x 2160 at -3840.
    const std::pair<Size, Size> views[] = {
        {{480, 270}, {1440, 810}}, {{640, 360}, {1920, 1080}}, {{455, 256}, {1365, 768}}};
    for (const auto& [cell, view] : views) {
        const Rect r = compactFullView(-1920, cell);
        EXPECT_EQ(r.left, -1920);
        EXPECT_EQ(r.top, 0);
        EXPECT_EQ(r.width, view.width);
        EXPECT_EQ(r.height, view.height);
    }
    const Rect huge = compactFullView(-3840, {455, 256});
    EXPECT_EQ(huge.left, -3840);
    EXPECT_EQ(huge.width, 3840);
    EXPECT_EQ(huge.height, 2160);
}

TEST(Geometry, LabelTilesStandOnTheBottomEdge) {
    const Rect r = labelTileRect(2, {480, 270}, 1080, 16);
    EXPECT_EQ(r.left, 960);
    EXPECT_EQ(r.top, 1060);
    EXPECT_EQ(r.width, 480);
    EXPECT_EQ(r.height, 20);
    EXPECT_EQ(cameraButtonCount(4), 4);
    EXPECT_EQ(cameraButtonCount(8), 7);
    EXPECT_EQ(cameraButtonCount(9), 0);
    EXPECT_EQ(cameraButtonCount(0), 0);
}

TEST(Names, DecodeAndEncode) {
    using V = std::vector<std::string>;
    EXPECT_EQ(decodeNames(""), V{});
    EXPECT_EQ(decodeNames("a\nb\nc\n"), (V{"a", "b", "c"}));
    EXPECT_EQ(decodeNames("a\r\nb\r\nc"), (V{"a", "b", "c"}));
    EXPECT_EQ(decodeNames("a\n\nb"), (V{"a", "", "b"}));
    EXPECT_EQ(decodeNames("a\r"), V{"a\r"});
    EXPECT_EQ(decodeNames("\n"), V{""});
    EXPECT_EQ(encodeNames({"a", "b", "c"}), "a\nb\nc");
    EXPECT_EQ(encodeNames(decodeNames("x\r\ny\r\n")), "x\ny");
}

TEST(FileSet, MembersInDigitOrder) {
    const std::set<std::string> files = {"/r/take0_st.mpg", "/r/take1_st.mpg", "/r/take3_st.mpg",
                                         "/r/5_st.mpg", "/r/m4_st.mpg"};
    auto exists = [&](const std::string& p) { return files.count(p) != 0; };
    using V = std::vector<std::string>;
    EXPECT_EQ(recordingSet("/r/take2_st.mpg", exists),
              (V{"/r/take0_st.mpg", "/r/take1_st.mpg", "/r/take3_st.mpg"}));
    EXPECT_EQ(recordingSet("/r/9_st.mpg", exists), V{"/r/5_st.mpg"});
    EXPECT_EQ(recordingSet("/r/movie.mpg", exists), V{"/r/m4_st.mpg"});
    EXPECT_EQ(cameraDigit("/r/take3_st.mpg"), '3');
}

TEST(Reports, PositionPhaseByWindow) {
    struct Row {
        ReportWindow window;
        bool current;
        int32_t value, reference;
        bool alwaysPlay;
        bool setReference, seek;
    };
    const Row rows[] = {
        {ReportWindow::Main, true, 17, 3, false, true, false},
        {ReportWindow::Main, false, 17, 3, false, false, true},
        {ReportWindow::Main, false, 3, 3, false, false, true},  // even at the reference time
        {ReportWindow::Main, false, 17, 3, true, false, false}, // "Always Play": nothing
        {ReportWindow::Compact, true, 17, 3, false, true, false},
        {ReportWindow::Compact, false, 17, 3, false, false, true},
        {ReportWindow::Compact, false, 3, 3, false, false, false}, // equal: nothing
        {ReportWindow::Compact, false, 17, 3, true, false, true},
    };
    for (const auto& r : rows) {
        const PositionStep s =
            positionPhase(r.window, r.current, r.value, r.reference, r.alwaysPlay);
        EXPECT_EQ(s.setReference, r.setReference);
        EXPECT_EQ(s.seekToReference, r.seek);
    }
}

TEST(Settings, DecodingFollowsTheFileLength) {
    const Settings defaults;
    struct Row {
        std::string bytes;
        Settings expected;
    };
    auto with = [](auto change) {
        Settings s;
        change(s);
        return s;
    };
    const Row rows[] = {
        {"", defaults},
        {std::string("\x02\x00\x01\x00\x07", 5), with([](Settings& s) {
             s.resolution = 2;
             s.doubleWide = false;
             s.alwaysPlay = true;
             s.preview = false;
             s.opacityStep = 7;
         })},
        {std::string("\x07", 1), with([](Settings& s) { s.resolution = 2; })},
        {std::string("\x01\x01\x00\x01\xC8\x00\x00\x00", 8),
         with([](Settings& s) { s.opacityStep = 10; })},
        {std::string("\x00\x00\x00\x00\x00\x01\x01\x02", 8), with([](Settings& s) {
             s.resolution = 0;
             s.doubleWide = false;
             s.preview = false;
             s.opacityStep = 0;
             s.fileList = true;
             s.help = true;
             s.transparent = true;
         })},
        // Twelve bytes: the last four do not count.
        {std::string("\x01\x01\x00\x01\x01\x00\x00\x01\xFF\xFF\xFF\xFF", 12),
         with([](Settings& s) { s.transparent = true; })},
        // Seven bytes: the transparency flag is off whatever the earlier bytes say.
        {std::string("\x01\x01\x00\x01\x01\x01\x01", 7), with([](Settings& s) {
             s.fileList = true;
             s.help = true;
         })},
    };
    for (const auto& r : rows) {
        const Settings s = decodeSettings(r.bytes);
        const auto got = encodeSettings(s);
        const auto want = encodeSettings(r.expected);
        EXPECT_EQ(got, want) << "file of " << r.bytes.size() << " bytes";
    }
    // A short file keeps the transparency flag off even when it was on before.
    Settings on;
    on.transparent = true;
    EXPECT_FALSE(decodeSettings(std::string(5, '\1'), on).transparent);
    // A megabyte of garbage reads as its first eight bytes.
    std::string big(1 << 20, '\xAB');
    const Settings b = decodeSettings(big);
    EXPECT_EQ(b.resolution, 2);
    EXPECT_EQ(b.opacityStep, 10);
    EXPECT_TRUE(b.transparent);
}

TEST(Settings, EncodingAndAlpha) {
    Settings s;
    const std::array<uint8_t, 8> defaults = {1, 1, 0, 1, 1, 0, 0, 0};
    EXPECT_EQ(encodeSettings(s), defaults);
    s.resolution = 258; // only the low eight bits are written
    EXPECT_EQ(encodeSettings(s)[0], 2);
    EXPECT_EQ(opacityAlpha(0), 1);
    EXPECT_EQ(opacityAlpha(4), 101);
    EXPECT_EQ(opacityAlpha(10), 251);
}

TEST(Names, GarbageAndManyLines) {
    std::string many;
    for (int k = 0; k < 300; ++k)
        many += "camera " + std::to_string(k) + "\r\n";
    EXPECT_EQ(decodeNames(many).size(), 300u);
    const std::string withNul("a\0b\n\xff\xfe\n", 7);
    const auto names = decodeNames(withNul);
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0], std::string("a\0b", 3));
    EXPECT_EQ(names[1], "\xff\xfe");
}

TEST(PlayerLaunch, CommandLines) {
    const std::string withWide = playerCommandLine(1, true, "/rec/take1_st.mpg", true);
    EXPECT_EQ(withWide, " -I telnet --telnet-port=9001 --aspect-ratio 16:9 --short-jump-size=1 "
                        "-q --no-interact --dummy-quiet --video-title=video   --no-video-deco "
                        "--no-embedded-video \"/rec/take1_st.mpg\"");
    const std::string linux = playerCommandLine(3, false, "/my recs/take3_st.mpg", false);
    EXPECT_NE(linux.find(" --telnet-port=9003 --scale=1 "), std::string::npos);
    EXPECT_EQ(linux.find("--aspect-ratio"), std::string::npos);
    EXPECT_EQ(linux.find("--dummy-quiet"), std::string::npos);
    const auto args = splitCommandLine(linux);
    ASSERT_FALSE(args.empty());
    EXPECT_EQ(args[0], "") << "the player's own name is empty";
    EXPECT_EQ(args[1], "-I");
    EXPECT_EQ(args.back(), "/my recs/take3_st.mpg") << "a path with a blank stays whole";
}

TEST(PlayerLaunch, CameraNumberAndTiles) {
    EXPECT_EQ(cameraNumber("/r/take3_st.mpg"), 3);
    EXPECT_EQ(cameraNumber("/r/movie.mpg"), std::nullopt); // 'm'... not a digit
    EXPECT_EQ(cameraNumber("_st.mpg"), std::nullopt);
    const auto tile = tileSize({1920, 1080}, 4);
    ASSERT_TRUE(tile);
    for (int i = 0; i < 4; ++i) {
        const auto r = tilePlacement(i, 0, *tile, 4);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->left, 480 * i);
        EXPECT_EQ(r->top, 810);
        EXPECT_EQ(r->width, 480);
        EXPECT_EQ(r->height, 270);
    }
    EXPECT_EQ(tilePlacement(2, -3840, {960, 540}, 4)->left, -3840 + 1920);
    EXPECT_FALSE(tilePlacement(8, 0, *tile, 9));
}

TEST(Keys, DispatchTable) {
    struct Row {
        int key;
        KeyKind kind;
        uint32_t vk;
    };
    const Row rows[] = {
        {0x01000030, KeyKind::PlayPause, 0},
        {0x01000031, KeyKind::PostToAll, 37},
        {0x01000032, KeyKind::PostToAll, 39},
        {0x01000033, KeyKind::PostToAll, 40},
        {0x01000034, KeyKind::PostToAll, 38},
        {0x01000038, KeyKind::PostToAll, 45},
        {0x0100003B, KeyKind::PostToAll, 32},
        {0x01000003, KeyKind::PostToAll, 8},
        {0x01000001, KeyKind::NextCamera, 0},
        {0x01000002, KeyKind::NextCamera, 0}, // Shift+Tab: the modifier is ignored
        {'/', KeyKind::CompactWindow, 0},
        // F6, F7, F8, F10, F11, Escape, Enter, arrows, letters, 0, 8: nothing.
        {0x01000035, KeyKind::Nothing, 0},
        {0x01000036, KeyKind::Nothing, 0},
        {0x01000037, KeyKind::Nothing, 0},
        {0x01000039, KeyKind::Nothing, 0},
        {0x0100003A, KeyKind::Nothing, 0},
        {0x01000000, KeyKind::Nothing, 0},
        {0x01000004, KeyKind::Nothing, 0},
        {0x01000012, KeyKind::Nothing, 0},
        {'A', KeyKind::Nothing, 0},
        {'a', KeyKind::Nothing, 0},
        {'0', KeyKind::Nothing, 0},
        {'8', KeyKind::Nothing, 0},
    };
    for (const auto& r : rows) {
        const KeyAction a = keyAction(r.key);
        EXPECT_EQ(a.kind, r.kind) << std::hex << r.key;
        EXPECT_EQ(a.virtualKey, r.vk) << std::hex << r.key;
    }
    for (int k = 1; k <= 7; ++k) {
        EXPECT_EQ(keyAction('0' + k).kind, KeyKind::Camera);
        EXPECT_EQ(keyAction('0' + k).camera, k);
    }
    EXPECT_EQ(keyAction('*').layout, 0);
    EXPECT_EQ(keyAction('+').layout, 1);
    EXPECT_EQ(keyAction('-').layout, 2);
}

TEST(Keys, TabAndLayouts) {
    EXPECT_EQ(nextCameraButton(3, 4), 1);            // wraps to the first camera
    EXPECT_EQ(nextCameraButton(1, 4), 3);            // channel 2: button 3
    EXPECT_EQ(nextCameraButton(6, 8), std::nullopt); // no eighth button
    EXPECT_EQ(nextCameraButton(0, 0), std::nullopt);
    EXPECT_EQ(nextCameraButton(0, 1), 1);
    const LayoutOrigins minus = layoutOrigins(2, 5760, -3840, 0);
    EXPECT_EQ(minus.fullViewOrigin, -3840);
    EXPECT_EQ(minus.windowLeft, 0);
    EXPECT_EQ(minus.leftOrigin, -3840);
    const LayoutOrigins star = layoutOrigins(0, 3840, 0, -1920);
    EXPECT_EQ(star.leftOrigin, 0);
    EXPECT_EQ(star.windowLeft, 0);
    EXPECT_EQ(star.fullViewOrigin, -1920);
    const LayoutOrigins plus = layoutOrigins(1, 3000, 0, 0);
    EXPECT_EQ(plus.fullViewOrigin, -1920);
}

TEST(Keys, TransportZones) {
    const std::pair<int, int> rows[] = {{0, 0},   {25, 0},  {26, 1},  {50, 1},  {51, 2},
                                        {75, 2},  {76, 3},  {100, 3}, {101, 4}, {125, 4},
                                        {126, 5}, {150, 5}, {151, 6}, {174, 6}, {500, 6}};
    for (const auto& [x, zone] : rows)
        EXPECT_EQ(transportZone(x), zone) << x;
    EXPECT_EQ(transportKey(1), 37u);
    EXPECT_EQ(transportKey(4), 38u);
    EXPECT_EQ(transportKey(6), 32u);
}

TEST(Reports, AnAnswerEndsAtItsPrompt) {
    EXPECT_EQ(replyEnd("12\r\n> "), 6u);
    EXPECT_EQ(replyEnd("> "), 2u);                         // "seek" answers with its prompt only
    EXPECT_EQ(replyEnd("12\r\n> 12\r\n> "), 6u);           // two answers read together: the first
    EXPECT_EQ(replyEnd("12\r\n"), 0u);                     // the prompt is still to come
    EXPECT_EQ(replyEnd("Password: "), 0u);                 // no prompt in the login dialogue
    EXPECT_EQ(replyEnd("a> b\r\n> "), 8u);                 // "> " within a line is no prompt
    EXPECT_EQ(replyEnd("\r\nWelcome, Master\r\n> "), 21u); // the login's last answer
}
