#pragma once

#include <QString>

namespace Updater {

// SHA-256 of the file at filePath as 64 lower-case hex digits, read in large blocks (the file is
// never held in memory whole). Clears *error on entry; on failure returns an empty string with
// "Could not open %1" or "Could not hash %1" in *error. Blocking; safe on any thread.
QString sha256OfFile(const QString &filePath, QString *error);

// True when the digest of filePath equals expectedHex (surrounding white space ignored, any
// letter case; anything but the bare 64 digits differs). On false *error holds the reason from
// sha256OfFile or "SHA-256 mismatch for %1". Blocking; safe on any thread.
bool verifyPackageHash(const QString &filePath, const QString &expectedHex, QString *error);

} // namespace Updater
