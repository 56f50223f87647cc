#include "core/player_launch.h"

#include "core/command_line.h"
#include "core/file_set.h"

namespace vorbelt {

std::string playerCommandLine(int i, bool doubleWide, const std::string& mediaPath,
                              bool windowsOptions) {
    const std::string size = doubleWide ? " --aspect-ratio 16:9" : " --scale=1";
    const std::string a = " -I telnet --telnet-port=" + std::to_string(playerPort(i)) + size +
                          " --short-jump-size=1 -q --no-interact" +
                          (windowsOptions ? " --dummy-quiet" : "") + " --video-title=video ";
    const std::string b = " --no-video-deco --no-embedded-video " + quoteArgument(mediaPath);
    return a + " " + b;
}

std::string playerFile(const std::string& profiles, int port, const std::string& name) {
    const std::string folder = profiles + "/" + std::to_string(port);
    return name.empty() ? folder : folder + "/" + name;
}

std::optional<int> cameraNumber(const std::string& item) {
    const char c = cameraDigit(item);
    if (c < '0' || c > '9')
        return std::nullopt;
    return c - '0';
}

std::optional<Rect> tilePlacement(int i, int leftOrigin, Size tile, int cameras) {
    if (i < 0 || i > 7)
        return std::nullopt;
    return Rect{leftOrigin + i * tile.width, (cameras - 1) * tile.height, tile.width, tile.height};
}

} // namespace vorbelt
