// Stands in for Windows PowerShell where there is none: understands the one Expand-Archive
// command that the updater sends and unpacks the zip (libarchive on POSIX, zlib on Windows).
#include "commandline.h"
#include "expandarchive.h"

#include <clocale>
#include <cstdio>
#include <string>
#include <vector>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <shellapi.h>

namespace {

// The arguments as UTF-8: argv would hold them in the ANSI code page, which cannot carry every
// path the updater may pass.
std::vector<std::string> utf8Arguments()
{
    std::vector<std::string> arguments;
    int count = 0;
    wchar_t **wide = CommandLineToArgvW(GetCommandLineW(), &count);
    for (int i = 1; wide && i < count; ++i) {
        const int length =
            WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
        std::string argument(std::size_t(length > 0 ? length - 1 : 0), '\0');
        if (length > 1)
            WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, argument.data(), length, nullptr, nullptr);
        arguments.push_back(std::move(argument));
    }
    LocalFree(wide);
    return arguments;
}

} // namespace
#endif

int main(int argc, char **argv)
{
#ifdef _WIN32
    (void)argc;
    (void)argv;
    const std::vector<std::string> arguments = utf8Arguments();
#else
    // Entry names are UTF-8; in the plain C locale libarchive could not convert them.
    if (!std::setlocale(LC_CTYPE, "C.UTF-8"))
        std::setlocale(LC_CTYPE, "");
    const std::vector<std::string> arguments(argv + 1, argv + argc);
#endif

    PowerShellStandIn::ExpandArchiveRequest request;
    std::string error;
    if (!PowerShellStandIn::parseArguments(arguments, &request, &error)
        || !PowerShellStandIn::expandArchive(request.literalPath, request.destinationPath,
                                             &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    return 0;
}
