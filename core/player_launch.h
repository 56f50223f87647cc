// What Load needs to start a video player and place its window.
#pragma once

#include "core/geometry.h"

#include <optional>
#include <string>

namespace vorbelt {

// Telnet port of the video player of file (channel) i.
constexpr int playerPort(int i) {
    return 9000 + i;
}

// The environment variable that names the station's folder of player profiles to its relays.
constexpr const char* kPlayerProfilesVariable = "VORBELT_PLAYER_PROFILES";
// File `name` of the player on `port` in that folder: "vlc/vlcrc" (its VLC profile), "secret"
// (the password its relay logs in with), "owner" (the user it runs as); the player's folder for
// an empty `name`.
std::string playerFile(const std::string& profiles, int port, const std::string& name);

// The video player's command line for file i: piece A (interface, port, size option, options,
// window title), one blank, piece B (window options and the media path). It begins with a
// blank, so the player's own name is empty. The path is quoted so that a folder with blanks
// in its name reaches the player as one argument. "--dummy-quiet" exists only on Windows.
std::string playerCommandLine(int i, bool doubleWide, const std::string& mediaPath,
                              bool windowsOptions);

// The camera digit of a file-list item: the character 8th from the end, as a number; nothing
// when there is no such character or it is not a digit.
std::optional<int> cameraNumber(const std::string& item);

// Where Load places the video window of file i (only files 0 to 7 are placed): side by side
// along one row whose top is (n - 1) tile heights down, starting at the left origin.
std::optional<Rect> tilePlacement(int i, int leftOrigin, Size tile, int cameras);

} // namespace vorbelt
