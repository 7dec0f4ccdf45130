#pragma once

#include <string>

namespace PowerShellStandIn {

// Unpacks the zip archive at archivePath into destinationPath (created when missing), replacing
// existing files. Refuses every entry that would land outside the destination: ".." leading out,
// absolute names, and on POSIX links whose target leads out and entries placed through a link.
// Entries before a refused one stay written. Returns false with a one-line message in *error.
// On POSIX it keeps the stored file modes (without set-id and sticky bits) and times, and changes
// the working directory to the destination. On Windows a link entry becomes a plain file holding
// its target, as Expand-Archive writes it.
bool expandArchive(const std::string &archivePath, const std::string &destinationPath,
                   std::string *error);

} // namespace PowerShellStandIn
