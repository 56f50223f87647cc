// Recording file sets: the camera files of one recording differ only in the camera digit
// before "_st" and the four-character extension, e.g. take0_st.mpg ... take9_st.mpg.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace vorbelt {

// Every existing member of the set that `chosenPath` belongs to, in camera-digit order, as
// full paths. `exists` tells whether a file exists.
std::vector<std::string> recordingSet(const std::string& chosenPath,
                                      const std::function<bool(const std::string&)>& exists);

// Camera digit of a file of a set: the eighth character from the end of its name.
char cameraDigit(const std::string& path);

// Whether a file name follows the rule of a recording's files: a camera digit, "_st" and a
// four-character extension at its end (take3_st.mpg).
bool cameraFileName(const std::string& name);

} // namespace vorbelt
