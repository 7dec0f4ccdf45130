#pragma once

#include <QString>
#include <QStringList>

namespace Updater {

// Puts the payload tree in the place of the installation directory: moves the payload beside it
// (.orvalink-incoming-<name>; copies it there from another volume), moves the installation into
// its backup (.orvalink-backup-<name>) and the payload into its place by two renames back to
// back, the user's entries (config, groups, profiles) going from the one to the other in
// between, and deletes the backup once the settings are migrated. When the payload cannot take
// the installation's place, the installation goes back; when the installation directory cannot
// be moved, the in-place transaction installs the same tree. Recovers what an interrupted earlier
// installation left before it starts. Returns false with one message in *error (may be null).
// What the user should know beyond the outcome (where changes made after an interrupted update
// were kept) is added to *notes (may be null), one line each. Blocks the calling (worker)
// thread, its retry pauses included.
bool installStagedPayload(const QString &payloadRoot, const QString &installDir, QString *error,
                          QStringList *notes = nullptr);

// The single directory inside extractedDir when it is the only listed entry, else extractedDir.
QString resolvePayloadRoot(const QString &extractedDir);

} // namespace Updater
