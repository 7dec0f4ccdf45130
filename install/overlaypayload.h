#pragma once

#include <QString>
#include <QStringList>

namespace Updater {

// Writes the payload tree into the installation directory: every entry, hidden ones included,
// links as links, a directory merged into one of that name already there, a file replacing one;
// only the top-level entries named in `skipped` are left out (compared as the file system
// compares names). Stops at the first failure with one message in *error (may be null): "Overlay
// payload root does not exist.", "Could not create install directory.", "Could not create %1"
// (the directory's full path) or "Could not copy %1" (the file's name); what was written before
// stays. Worker thread; blocks it while a held file is retried.
bool overlayPayload(const QString &payloadRoot, const QString &installDir,
                    const QStringList &skipped, QString *error);

} // namespace Updater
