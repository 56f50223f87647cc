// Windows command lines: any arguments, quoted and joined, split back into the same arguments.
#include "core/command_line.h"

#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> args{"program"};
    std::size_t begin = 0;
    while (begin <= input.size()) {
        std::size_t end = input.find('\0', begin);
        if (end == std::string::npos)
            end = input.size();
        args.push_back(input.substr(begin, end - begin));
        begin = end + 1;
    }
    std::string line = "program";
    for (std::size_t k = 1; k < args.size(); ++k)
        line += " " + vorbelt::quoteArgument(args[k]);
    if (vorbelt::splitCommandLine(line) != args)
        std::abort();
    vorbelt::splitCommandLine(input); // any text splits without harm
    return 0;
}
