#pragma once

#include "treesnapshot.h"

#include <QString>
#include <QStringList>

// The trees of one update: an installed client of version 2.4.1 holding the user's entries, and
// the payload of version 3.0.0 that replaces it. Test thread only.
namespace E2e {

using TestSupport::TreeSnapshot;

// Lays out the installation: the fake client (whose starts go to clientLog), program files, an
// old file the payload lacks, config with legacy settings, legacy entries and a hidden file,
// groups, and profiles with hidden files and a link to outsideDir, which gets a file of its own.
bool writeInstallation(const QString &installDir, const QString &clientLog,
                       const QString &outsideDir);

// Lays out the payload of version 3.0.0. With extraFiles, that many more small files of varying
// size under data/ (to vary how long an installation takes).
bool writePayload(const QString &payloadDir, const QString &clientLog, int extraFiles = 0);

// What a completed update must leave: every payload entry as shipped, the user's groups and
// profiles byte for byte as before, config with its settings migrated and everything else of it
// kept, the old file gone and the working directories beside the installation removed.
// Returns one line per problem; empty when the installation is right.
QStringList problemsAfterUpdate(const QString &installDir, const TreeSnapshot &payload,
                                const TreeSnapshot &installationBefore);

} // namespace E2e
