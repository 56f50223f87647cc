// Entry of the end-to-end tests. The test process draws nothing on the desktop it drives: its
// own Qt (used only to draw reference pictures) renders off screen. (Given on the command line,
// not in the environment, which the station inherits.)
#include <QApplication>
#include <gtest/gtest.h>

#include <vector>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    std::vector<char*> args(argv, argv + argc);
    char platform[] = "-platform", offscreen[] = "offscreen";
    args.insert(args.begin() + 1, {platform, offscreen});
    int count = static_cast<int>(args.size());
    QApplication app(count, args.data());
    return RUN_ALL_TESTS();
}
