#include "install/stagedinstallation.h"

#include "common/productnames.h"
#include "install/filetree.h"
#include "install/inplaceinstallation.h"
#include "install/installationrecovery.h"
#include "install/legacyconfigmigration.h"
#include "install/preservedentries.h"
#include "install/retrylimits.h"
#include "install/staginglayout.h"
#include "platform/filelinks.h"

#include <QDir>
#include <QFileInfo>
#include <QScopeGuard>

namespace Updater {

namespace {

struct Installation
{
    QString payloadRoot;
    QString installDir;
    QString backupDir;
    QString preserveDir;
    QStringList names;
};

// Moves the user's entries into the preserve directory, or copies them there when they cannot be
// moved. When one fails, everything preserved so far goes back, so that nothing of the user's
// stands only in the preserve directory.
bool preserveEntries(const Installation &run, QString *error)
{
    const QDir install(run.installDir);
    const QDir preserve(run.preserveDir);
    QStringList moved;
    QStringList copied;
    for (const QString &name : run.names) {
        const QString source = install.filePath(name);
        const QString target = preserve.filePath(name);
        if (!entryExists(source))
            continue;
        // An entry that an earlier run could not put back is the user's and wins over the
        // installation's; moving onto it would delete it.
        if (entryExists(target))
            continue;
        if (renameWithRetries(source, target, preserveMoveAttempts, preserveMovePauseMs)) {
            moved << name;
            continue;
        }
        if (copyReplacing(source, target, EntryScope::AllEntries)) {
            copied << name;
            continue;
        }
        restorePreservedEntries(run.preserveDir, run.installDir, moved);
        // A copied entry's original never left the installation.
        for (const QString &copiedName : copied)
            removePath(preserve.filePath(copiedName));
        removePreserveDirIfEmpty(run.preserveDir);
        *error = QStringLiteral("Failed to preserve %1").arg(name);
        return false;
    }
    return true;
}

} // namespace

bool installStagedPayload(const QString &payloadRoot, const QString &installDir, QString *error,
                          QStringList *notes)
{
    QString localError;
    QString *message = error ? error : &localError;
    message->clear();

    // Before anything else, even before the payload is looked at: a run whose payload is gone
    // must still give the user back what an interrupted run left aside.
    if (!recoverInterruptedInstallation(installDir, message, notes))
        return false;

    if (!QFileInfo::exists(payloadRoot)) {
        *message = QStringLiteral("Extracted payload is missing.");
        return false;
    }

    const StagingLayout layout(installDir);
    const Installation run{payloadRoot, installDir, layout.backupDir(), layout.preserveDir(),
                           preservedEntriesIn(installDir)};

    QDir().mkpath(run.preserveDir);
    if (!preserveEntries(run, message))
        return false;

    // Until the new tree stands, every way out puts back what was set aside: the previous
    // installation when it was moved to the backup, then the user's entries. If the move back
    // fails too, the backup is the only installation; the next run's recovery puts it back, and
    // the preserved entries stay for it.
    bool movedToBackup = false;
    auto undo = qScopeGuard([&] {
        if (movedToBackup)
            renameWithRetries(run.backupDir, run.installDir, treeMoveAttempts, treeMovePauseMs);
        restorePreservedEntries(run.preserveDir, run.installDir, run.names);
    });

    const bool inPlace = entryExists(installDir)
                         && !(movedToBackup = renameWithRetries(installDir, run.backupDir,
                                                                treeMoveAttempts, treeMovePauseMs));
    if (inPlace) {
        // The installation holds its previous files again when this fails.
        if (!installInPlace(run.payloadRoot, run.installDir, run.backupDir, message))
            return false;
    } else if (!renameWithRetries(run.payloadRoot, run.installDir, treeMoveAttempts,
                                  treeMovePauseMs)) {
        *message = QStringLiteral("Failed to install the staged payload.");
        return false;
    }
    undo.dismiss();

    restorePreservedEntries(run.preserveDir, run.installDir, run.names);
    const QString staleDir = layout.staleDir();
    // A failed migration leaves the new tree in place, and on the move path the backup beside
    // it; the entries an in-place installation set aside are of no use once it has committed.
    if (!migrateLegacyConfig(run.installDir, message)) {
        if (inPlace)
            discardEntry(run.backupDir, staleDir);
        return false;
    }
    // What cannot be deleted yet (a running image set aside) waits in the stale directory for
    // the next run, never in the installation.
    discardEntry(run.backupDir, staleDir);
    removePreserveDirIfEmpty(run.preserveDir);
    return true;
}

QString resolvePayloadRoot(const QString &extractedDir)
{
    const QFileInfoList entries = listEntries(extractedDir, EntryScope::VisibleEntries);
    // A link is not descended into: the payload would then be moved out of where it points.
    if (entries.size() == 1 && entries.first().isDir()
        && !Platform::isLink(entries.first().filePath()))
        return entries.first().absoluteFilePath();
    return extractedDir;
}

} // namespace Updater
