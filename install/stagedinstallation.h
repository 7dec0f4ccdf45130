#pragma once

#include <QString>
#include <QStringList>

namespace Updater {

// Puts the payload tree in the place of the installation directory: preserves the user's entries,
// keeps the previous installation as a backup until the new one stands (and moves it back when
// the new one cannot be put in place), falls back to an in-place copy when the installation
// directory cannot be moved, and migrates the settings. Recovers what an interrupted earlier
// installation left before it starts. Returns false with one message in *error (may be null).
// What the user should know beyond the outcome (where changes made after an interrupted update
// were kept) is added to *notes (may be null), one line each. Blocks the calling (worker)
// thread, its retry pauses included.
bool installStagedPayload(const QString &payloadRoot, const QString &installDir, QString *error,
                          QStringList *notes = nullptr);

// The single directory inside extractedDir when it is the only listed entry, else extractedDir.
QString resolvePayloadRoot(const QString &extractedDir);

} // namespace Updater
