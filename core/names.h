// The names file: one camera name per line; the number of lines is the number of channels.
#pragma once

#include <string>
#include <vector>

namespace vorbelt {

// CR LF and a lone LF both end a line; an empty last line is not counted.
std::vector<std::string> decodeNames(const std::string& content);
// Lines separated by one LF, none after the last.
std::string encodeNames(const std::vector<std::string>& names);

} // namespace vorbelt
