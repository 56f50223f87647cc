#include "command_line.h"

namespace vorbelt {
namespace {
bool isBlank(char c) {
    return c == ' ' || c == '\t';
}
} // namespace

std::vector<std::string> splitCommandLine(const std::string& s) {
    std::vector<std::string> args;
    std::size_t i = 0;
    const std::size_t n = s.size();

    // Program name: no escapes; quotes only group.
    std::string first;
    bool quoted = false;
    while (i < n) {
        const char c = s[i];
        if (c == '"') {
            quoted = !quoted;
        } else if (!quoted && isBlank(c)) {
            break;
        } else {
            first += c;
        }
        ++i;
    }
    args.push_back(first);

    for (;;) {
        while (i < n && isBlank(s[i]))
            ++i;
        if (i >= n)
            break;
        std::string arg;
        bool inQuotes = false;
        while (i < n) {
            const char c = s[i];
            if (!inQuotes && isBlank(c))
                break;
            if (c == '\\') {
                std::size_t slashes = 0;
                while (i < n && s[i] == '\\') {
                    ++slashes;
                    ++i;
                }
                if (i < n && s[i] == '"') {
                    arg.append(slashes / 2, '\\');
                    if (slashes % 2 == 1) {
                        arg += '"';
                        ++i;
                    }
                    // An even count leaves the quote to the quote rule below.
                } else {
                    arg.append(slashes, '\\');
                }
                continue;
            }
            if (c == '"') {
                if (inQuotes && i + 1 < n && s[i + 1] == '"') {
                    arg += '"';
                    i += 2;
                    continue;
                }
                inQuotes = !inQuotes;
                ++i;
                continue;
            }
            arg += c;
            ++i;
        }
        args.push_back(arg);
    }
    return args;
}

std::string quoteArgument(const std::string& a) {
    std::string out = "\"";
    std::size_t slashes = 0;
    for (char c : a) {
        if (c == '\\') {
            ++slashes;
            continue;
        }
        if (c == '"') {
            out.append(slashes * 2 + 1, '\\');
            out += '"';
        } else {
            out.append(slashes, '\\');
            out += c;
        }
        slashes = 0;
    }
    out.append(slashes * 2, '\\');
    out += '"';
    return out;
}

} // namespace vorbelt
