#pragma once

#include <QString>

namespace Updater {

// Unpacks the zip package at packagePath into destinationDir, an existing empty directory, in
// this process (libarchive). First it reads every entry's header and refuses the whole package,
// with nothing written, when PackageEntryNames refuses an entry, when the entries claim more than
// 1100 times the package's own size (beyond what deflate can pack: a zip bomb, or entries that
// share their data), when there are more than 100000 of them, or when they need more room than
// the volume has free. Then it streams each entry to disk, so memory does not grow with the
// package, and requires each file to hold exactly the bytes its header gives. Files keep their
// modification time and, elsewhere than on Windows, their executable bits.
// Returns false with one message, "Package entry is not allowed: <name>" or "Failed to extract
// package: <reason>" (libarchive's or the system's reason); what was written before a failure
// stays. *needsMoreRoom (may be null) is set when the package was refused for the room it needs.
// Blocks; any thread.
bool extractPackageFile(const QString &packagePath, const QString &destinationDir, QString *error,
                        bool *needsMoreRoom = nullptr);

} // namespace Updater
