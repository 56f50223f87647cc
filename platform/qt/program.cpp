#include "platform/qt/program.h"

#include "platform/window.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

namespace platform {

namespace {

std::vector<std::string> parse(QCoreApplication& app, const ProgramInfo& info) {
    app.setApplicationName(info.title);
    app.setApplicationVersion(info.version);
    QCommandLineParser options;
    options.setApplicationDescription(info.description);
    options.addHelpOption();
    options.addVersionOption();
    for (const auto& [name, what] : info.flags)
        options.addOption(
            QCommandLineOption(QString::fromStdString(name), QString::fromStdString(what)));
    options.process(app); // --help, --version and unknown options end the program here
    std::vector<std::string> given;
    for (const auto& flag : info.flags)
        if (options.isSet(QString::fromStdString(flag.first)))
            given.push_back(flag.first);
    return given;
}

} // namespace

std::optional<int> answerBeforeStart(int argc, char** argv, const ProgramInfo& info) {
    for (int k = 1; k < argc; ++k) {
        const std::string a = argv[k];
        if (a == "--help" || a == "-h" || a == "--help-all" || a == "--version" || a == "-v") {
            QCoreApplication plain(argc, argv);
            parse(plain, info); // prints and ends the program
        }
    }
    if (const std::string refused = windowSystemRefusal(info.name); !refused.empty()) {
        std::fprintf(stderr, "%s\n", refused.c_str());
        return 1;
    }
    return std::nullopt;
}

std::vector<std::string> givenFlags(QCoreApplication& app, const ProgramInfo& info) {
    return parse(app, info);
}

} // namespace platform
