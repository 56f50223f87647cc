// Windows-style command lines: one string that the started program splits into arguments.
#pragma once

#include <string>
#include <vector>

namespace vorbelt {

// Splits a command line by the rules of the Microsoft C runtime: blanks (space, tab)
// separate arguments, double quotes group, 2n backslashes before a quote give n backslashes
// and a quote that opens or closes a group, 2n+1 give n backslashes and a literal quote,
// and "" inside a group is a literal quote. The first argument (the program name) is read
// without backslash rules, up to the next blank, or between quotes; a command line that
// begins with a blank has an empty first argument.
std::vector<std::string> splitCommandLine(const std::string& commandLine);

// Quotes one argument so that splitCommandLine gives it back unchanged.
std::string quoteArgument(const std::string& argument);

} // namespace vorbelt
