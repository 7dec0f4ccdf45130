#pragma once

#include <QString>
#include <QStringList>

namespace Updater {

// Puts the payload tree in the place of the installation directory: preserves the user's entries,
// keeps the previous installation as a backup until the new one stands (and moves it back when
// the new one cannot be put in place), falls back to an in-place copy when the installation
// directory cannot be moved, and migrates the settings. Recovers what an interrupted earlier
// installation left before it starts. Returns false with one message in *error (may be null).
// Blocks the calling (worker) thread, its retry pauses included.
bool installStagedPayload(const QString &payloadRoot, const QString &installDir, QString *error);

// Moves each named entry found in preserveDir back into installDir, replacing the installation's
// entry of that name: with retries (10 x 300 ms), then by a complete copy, after which the
// preserved entry is deleted. An entry that cannot be put back stays in preserveDir. Does
// nothing while installDir is missing, and never creates it. Blocks the calling thread.
void restorePreservedEntries(const QString &preserveDir, const QString &installDir,
                             const QStringList &names);

// Deletes the preserve directory only when it holds nothing (a file or link of that name holds
// no entries and is deleted too). True when nothing is at preserveDir afterwards.
bool removePreserveDirIfEmpty(const QString &preserveDir);

// The single directory inside extractedDir when it is the only listed entry, else extractedDir.
QString resolvePayloadRoot(const QString &extractedDir);

} // namespace Updater
