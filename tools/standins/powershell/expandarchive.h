#pragma once

#include <string>

namespace PowerShellStandIn {

// Unpacks the zip archive at archivePath into destinationPath (created when missing), replacing
// existing files and keeping the stored file modes (without set-id and sticky bits) and times.
// Refuses every entry that would land outside the destination: ".." leading out, absolute
// names, links whose target leads out, and entries placed through a link. Entries before a
// refused one stay written. Changes the working directory to the destination. Returns false
// with a one-line message in *error.
bool expandArchive(const std::string &archivePath, const std::string &destinationPath,
                   std::string *error);

} // namespace PowerShellStandIn
