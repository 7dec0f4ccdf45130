#pragma once

#include <QString>
#include <QStringList>

namespace Updater {

// Moves each named entry found in preserveDir back into installDir, replacing the installation's
// entry of that name: with retries, then by a complete copy, after which the preserved entry is
// deleted. An entry that cannot be put back stays in preserveDir. Does nothing while installDir
// is missing, and never creates it. Blocks the calling (worker) thread.
void restorePreservedEntries(const QString &preserveDir, const QString &installDir,
                             const QStringList &names);

// Deletes the preserve directory only when it holds nothing (a file or link of that name holds
// no entries and is deleted too). True when nothing is at preserveDir afterwards.
bool removePreserveDirIfEmpty(const QString &preserveDir);

} // namespace Updater
