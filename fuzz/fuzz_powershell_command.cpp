// The command text the powershell.exe stand-in is given. Besides not crashing, an accepted
// command must mean what it says: quoting the paths it found again and reading that back gives
// the same paths.
#include "tools/standins/powershell/commandline.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

using PowerShellStandIn::ExpandArchiveRequest;

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

// Length of the single quote (' or U+2018..U+201B in UTF-8) at pos, or 0.
std::size_t quoteLength(std::string_view text, std::size_t pos)
{
    if (text[pos] == '\'')
        return 1;
    if (pos + 2 < text.size() && static_cast<unsigned char>(text[pos]) == 0xE2
        && static_cast<unsigned char>(text[pos + 1]) == 0x80) {
        const auto third = static_cast<unsigned char>(text[pos + 2]);
        if (third >= 0x98 && third <= 0x9B)
            return 3;
    }
    return 0;
}

// PowerShell's single-quoted form of value: every quote in it written twice.
std::string quoted(std::string_view value)
{
    std::string text = "'";
    for (std::size_t i = 0; i < value.size();) {
        const std::size_t quote = quoteLength(value, i);
        if (quote > 0) {
            text.append(value.substr(i, quote));
            text.append(value.substr(i, quote));
            i += quote;
        } else {
            text.push_back(value[i++]);
        }
    }
    return text + "'";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string_view command(reinterpret_cast<const char *>(data), size);

    ExpandArchiveRequest request;
    std::string error;
    if (PowerShellStandIn::parseExpandArchiveCommand(command, &request, &error)) {
        require(!request.literalPath.empty() && !request.destinationPath.empty());
        const std::string canonical = "Expand-Archive -LiteralPath " + quoted(request.literalPath)
                                      + " -DestinationPath " + quoted(request.destinationPath)
                                      + " -Force";
        ExpandArchiveRequest again;
        require(PowerShellStandIn::parseExpandArchiveCommand(canonical, &again, nullptr));
        require(again.literalPath == request.literalPath
                && again.destinationPath == request.destinationPath);
    } else {
        require(!error.empty());
    }

    // The whole argument list, split at NUL bytes as a process would receive it.
    std::vector<std::string> arguments;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= size; ++i) {
        if (i == size || command[i] == '\0') {
            arguments.emplace_back(command.substr(start, i - start));
            start = i + 1;
        }
    }
    ExpandArchiveRequest fromArguments;
    if (PowerShellStandIn::parseArguments(arguments, &fromArguments, nullptr)) {
        ExpandArchiveRequest direct;
        require(PowerShellStandIn::parseExpandArchiveCommand(arguments.back(), &direct, nullptr));
        require(direct.literalPath == fromArguments.literalPath
                && direct.destinationPath == fromArguments.destinationPath);
    }
    return 0;
}
