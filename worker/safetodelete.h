#pragma once

#include <QString>

namespace Updater {

// Whether dir may be deleted with everything in it after an offline update. False when dir is
// empty, a file-system root, the user's home or one of the standard folders (documents,
// downloads, application data, caches, the temporary directory; on Windows also the system's
// folders) or a directory containing one, the installation directory or a
// directory containing it, or the updater's own directory (updaterDir) or a directory containing
// it. Paths are compared by the entries' identity and in canonical form where they exist (short
// names, junctions and substituted drives cannot slip past), as cleaned absolute paths otherwise;
// case-insensitively on Windows. Any thread.
bool isSafeToDeleteWholly(const QString &dir, const QString &installDir, const QString &updaterDir);

} // namespace Updater
