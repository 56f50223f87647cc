// What the main window and the compact window do alike with the station's processes and
// windows: starting a video player, waiting for its window, ending processes, colouring the
// camera buttons.
#pragma once

#include "platform/process.h"
#include "platform/window.h"

#include <QString>

#include <cstdint>
#include <string>

class QPushButton;
class QWidget;

namespace station {

// The folder of the station's own VLC profile, beside the program.
QString videoPlayerProfile();

// Starts the video player for list item `item` as player `index` (telnet port 9000 + index).
// Returns its process id, or -1 when it could not be started.
platform::ProcessId startVideoPlayer(int index, bool doubleWide, const std::string& item);

// Polls every 100 ms for the new player's window, titled "video", and retitles it `title` once
// found. From the poll after `questionAfter` on, each unsuccessful poll asks "Wait more?"
// (caption "Player Not Responding!"); any answer but OK gives up and returns 0.
platform::WindowHandle awaitVideoWindow(int questionAfter, const std::string& title);

// Polls every 100 ms for the top-level window titled `title`; from the poll after
// `questionAfter` on, every poll asks "Wait more?" with `caption`, the one that found the
// window included, and any answer but OK ends the wait. Returns the handle found, or 0.
platform::WindowHandle awaitOwnWindow(const std::string& title, int questionAfter,
                                      const QString& caption);

// Ends process `pid` with exit code 0 when it can be opened; `pauseMs` after the termination.
void endProcess(platform::ProcessId pid, unsigned pauseMs);

// Colour of a channel state on its camera button: grey, green, black, yellow; red otherwise.
void colourCameraButton(QPushButton* button, uint8_t state);

// Sends what Qt has buffered for the X server now: a window shown or masked by a handler that
// then blocks is otherwise seen by other clients only when the event loop runs again.
void flushWindowSystem();

} // namespace station
