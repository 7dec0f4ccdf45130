#pragma once

#include <QString>

class QTemporaryFile;

namespace Updater::Release {

// The files of a release are written under temporary names in the output directory and take
// their names only once everything is checked.

// Opens file as ".<finalName>.XXXXXX" in outDir with the mode an ordinary new file gets (a
// published release must be readable by the web server). False with one message in *error.
bool openTemporary(QTemporaryFile *file, const QString &outDir, const QString &finalName,
                   QString *error);

// Flushes and closes file; false with one message in *error when anything of it was not written.
bool finishTemporary(QTemporaryFile *file, QString *error);

// Renames file onto target in one step (readers see the old file or the new one) and keeps it.
bool moveIntoPlace(QTemporaryFile *file, const QString &target, QString *error);

} // namespace Updater::Release
