#include "install/installationrecovery.h"

#include "common/productnames.h"
#include "install/filetree.h"
#include "install/preservedentries.h"
#include "install/retrylimits.h"
#include "install/staginglayout.h"
#include "platform/filelinks.h"

#include <QDir>
#include <QFileInfo>

namespace Updater {

bool recoverInterruptedInstallation(const QString &installDir, QString *error)
{
    if (error)
        error->clear();

    const StagingLayout layout(installDir);
    const QString backupDir = layout.backupDir();
    const QString preserveDir = layout.preserveDir();
    const QStringList names = preservedEntryNames();

    // Only a moved-aside installation leaves the backup without the installation directory.
    if (!entryExists(installDir) && !Platform::isLink(backupDir) && QFileInfo(backupDir).isDir()) {
        if (!renameWithRetries(backupDir, installDir, treeMoveAttempts, treeMovePauseMs)) {
            if (error)
                *error = QStringLiteral("Could not restore the previous installation from %1")
                             .arg(backupDir);
            return false;
        }
    }

    // The updater never makes the preserve directory a link; entries moved through one would
    // leave the tree.
    if (Platform::isLink(preserveDir))
        Platform::removeLink(preserveDir);

    const QDir install(installDir);
    const QDir preserve(preserveDir);
    if (QFileInfo(installDir).isDir()) {
        // A partial copy in the installation is a restore by copy that never completed; its
        // source is still in the preserve directory.
        for (const QString &name : names)
            removePath(install.filePath(partialCopyName(name)));
        removePath(install.filePath(partialCopyName(clientExecutableName())));
        restorePreservedEntries(preserveDir, installDir, names);
        removePath(backupDir);
    }

    // A partial copy in the preserve directory was made from an entry that never left the
    // installation.
    bool holdsUserEntry = false;
    for (const QString &name : names) {
        removePath(preserve.filePath(partialCopyName(name)));
        holdsUserEntry = holdsUserEntry || entryExists(preserve.filePath(name));
    }
    if (!holdsUserEntry)
        removePath(preserveDir);
    return true;
}

} // namespace Updater
