#pragma once

// Reading the command line of the powershell.exe stand-in. Plain C++17, no I/O, so that it can
// be fed arbitrary bytes (fuzzing) without side effects.

#include <string>
#include <string_view>
#include <vector>

namespace PowerShellStandIn {

struct ExpandArchiveRequest
{
    std::string literalPath;     // the archive, as written between the quotes (quotes undone)
    std::string destinationPath; // the destination directory, likewise
};

// Parses the text of -Command. Accepts only
//   Expand-Archive -LiteralPath '<archive>' -DestinationPath '<directory>' -Force
// with the words in this order, any amount of blanks between them, names compared without regard
// to ASCII case, and both paths in single quotes read by PowerShell's rules: any of ' U+2018
// U+2019 U+201A U+201B opens and closes the string, and two of them in a row stand for one
// quote (the second of the two). Text is UTF-8. On failure returns false with a message in
// *error (may be null) and leaves *out unspecified.
bool parseExpandArchiveCommand(std::string_view command, ExpandArchiveRequest *out,
                               std::string *error);

// Checks the whole argument list (without the program name): exactly
//   -NoProfile -NonInteractive -ExecutionPolicy Bypass -Command <command>
// (switch names without regard to ASCII case) and then parses <command> as above.
bool parseArguments(const std::vector<std::string> &arguments, ExpandArchiveRequest *out,
                    std::string *error);

} // namespace PowerShellStandIn
