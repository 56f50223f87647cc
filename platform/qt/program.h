// The start of both programs alike: --help and --version answered without a display, a missing
// display said in one line instead of Qt's abort, unknown options refused.
#pragma once

#include <optional>
#include <string>
#include <vector>

class QCoreApplication;

namespace platform {

struct ProgramInfo {
    const char* name;  // as the operator types it
    const char* title; // the application's name
    const char* version;
    const char* description; // for --help
    // Flags beyond --help and --version: name (without the dashes) and what it does.
    std::vector<std::pair<std::string, std::string>> flags = {};
};

// Before the application: answers --help and --version and ends the program; says why when no
// window can be opened and gives the status to end with (1). Nothing when the program may go on.
std::optional<int> answerBeforeStart(int argc, char** argv, const ProgramInfo& info);
// With the application made: refuses unknown options (Qt prints why and ends the program);
// the flags of `info` that were given.
std::vector<std::string> givenFlags(QCoreApplication& app, const ProgramInfo& info);

} // namespace platform
