#include "install/installationrecovery.h"

#include "common/productnames.h"
#include "install/filetree.h"
#include "install/inplaceinstallation.h"
#include "install/preservedentries.h"
#include "install/retrylimits.h"
#include "install/staginglayout.h"
#include "platform/fileentries.h"
#include "platform/filelinks.h"

#include <QDir>
#include <QFileInfo>

namespace Updater {

bool recoverInterruptedInstallation(const QString &installDir, QString *error, QStringList *notes)
{
    if (error)
        error->clear();

    const StagingLayout layout(installDir);
    const QString backupDir = layout.backupDir();
    const QString preserveDir = layout.preserveDir();
    const QStringList names = preservedEntriesIn(preserveDir);
    const auto failRestore = [error, &backupDir] {
        if (error)
            *error = QStringLiteral("Could not restore the previous installation from %1")
                         .arg(QDir::toNativeSeparators(backupDir));
        return false;
    };

    // What an earlier run could not delete yet (an image that was still running).
    removePath(layout.staleDir());

    switch (backupKind(backupDir)) {
    case BackupKind::InPlaceUnfinished:
        // The installation is part old, part new: it becomes wholly old again before anything
        // else happens to it.
        if (!rollBackInPlace(installDir, backupDir))
            return failRestore();
        break;
    case BackupKind::Installation:
        // Only a moved-aside installation leaves the backup without the installation directory.
        if (!entryExists(installDir)
            && Platform::entryKind(backupDir) == Platform::EntryKind::Directory
            && !renameWithRetries(backupDir, installDir, treeMoveAttempts, treeMovePauseMs))
            return failRestore();
        break;
    case BackupKind::InPlaceCommitted:
    case BackupKind::None:
        break;
    }

    // The updater never makes the preserve directory a link; entries moved through one would
    // leave the tree.
    if (Platform::isLink(preserveDir))
        Platform::removeLink(preserveDir);

    const QDir install(installDir);
    const QDir preserve(preserveDir);
    if (Platform::entryKind(installDir) == Platform::EntryKind::Directory) {
        // A partial copy in the installation is a restore by copy that never completed; its
        // source is still in the preserve directory. The same holds for the settings written
        // beside configs.json.
        for (const QString &name : names)
            removePath(install.filePath(partialCopyName(name)));
        removePath(install.filePath(partialCopyName(clientExecutableName())));
        removePath(install.filePath(QStringLiteral("config/")
                                    + partialCopyName(QStringLiteral("configs.json"))));
        // The new client may have run meanwhile and the user changed what it shows; nothing of
        // that is thrown away for the older preserved copy.
        restorePreservedEntries(preserveDir, installDir, names, LiveEntry::KeepChanges, notes);
        // A backup that cannot go yet (a running image in it) must not keep the name the next
        // exchange needs, or every later update would be made in place.
        discardEntry(backupDir, layout.staleDir());
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
