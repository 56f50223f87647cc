#include "file_set.h"

namespace vorbelt {

std::vector<std::string> recordingSet(const std::string& chosen,
                                      const std::function<bool(const std::string&)>& exists) {
    const auto sep = chosen.find_last_of("/\\");
    const std::string dir = sep == std::string::npos ? "" : chosen.substr(0, sep + 1);
    const std::string name = sep == std::string::npos ? chosen : chosen.substr(sep + 1);
    const std::string stem = name.size() > 8 ? name.substr(0, name.size() - 8) : "";
    const std::string ext = name.size() >= 4 ? name.substr(name.size() - 4) : name;
    std::vector<std::string> members;
    for (int i = 0; i <= 9; ++i) {
        const std::string candidate = dir + stem + std::to_string(i) + "_st" + ext;
        if (exists(candidate))
            members.push_back(candidate);
    }
    return members;
}

char cameraDigit(const std::string& path) {
    return path.size() >= 8 ? path[path.size() - 8] : '\0';
}

bool cameraFileName(const std::string& name) {
    const char digit = cameraDigit(name);
    return digit >= '0' && digit <= '9' && name.compare(name.size() - 7, 3, "_st") == 0;
}

} // namespace vorbelt
