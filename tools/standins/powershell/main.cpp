// Stands in for Windows PowerShell where there is none: understands the one Expand-Archive
// command that the updater sends and unpacks the zip with libarchive.
#include "commandline.h"
#include "expandarchive.h"

#include <clocale>
#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char **argv)
{
    // Entry names are UTF-8; in the plain C locale libarchive could not convert them.
    if (!std::setlocale(LC_CTYPE, "C.UTF-8"))
        std::setlocale(LC_CTYPE, "");

    const std::vector<std::string> arguments(argv + 1, argv + argc);
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
