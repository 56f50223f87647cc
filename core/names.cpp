#include "names.h"

namespace vorbelt {

std::vector<std::string> decodeNames(const std::string& content) {
    std::vector<std::string> lines;
    std::string line;
    bool open = false; // a line has begun that no line break has ended yet
    for (char c : content) {
        if (c == '\n') {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            lines.push_back(line);
            line.clear();
            open = false;
        } else {
            line += c;
            open = true;
        }
    }
    if (open)
        lines.push_back(line);
    return lines;
}

std::string encodeNames(const std::vector<std::string>& names) {
    std::string out;
    for (std::size_t k = 0; k < names.size(); ++k) {
        if (k)
            out += '\n';
        out += names[k];
    }
    return out;
}

} // namespace vorbelt
