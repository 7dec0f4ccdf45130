#include "install/stagedinstallation.h"

#include "install/filetree.h"
#include "install/installationrecovery.h"
#include "install/legacyconfigmigration.h"
#include "install/overlaypayload.h"
#include "install/staginglayout.h"
#include "platform/filelinks.h"

#include <QDir>
#include <QFileInfo>

namespace Updater {

namespace {

constexpr int preserveAttempts = 10;
constexpr int preservePauseMs = 300;
constexpr int treeMoveAttempts = 20;
constexpr int treeMovePauseMs = 500;

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
        if (renameWithRetries(source, target, preserveAttempts, preservePauseMs)) {
            moved << name;
            continue;
        }
        if (copyReplacing(source, target, CopyScope::AllEntries)) {
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

bool finishInstallation(const Installation &run, QString *error)
{
    restorePreservedEntries(run.preserveDir, run.installDir, run.names);
    if (!migrateLegacyConfig(run.installDir, error))
        return false;
    removePath(run.backupDir);
    removePreserveDirIfEmpty(run.preserveDir);
    return true;
}

bool installByMove(const Installation &run, bool installExisted, QString *error)
{
    if (!renameWithRetries(run.payloadRoot, run.installDir, treeMoveAttempts, treeMovePauseMs)) {
        // If the move back fails too, the backup is the only installation; the next run's
        // recovery puts it back, and the preserved entries stay for it.
        if (installExisted)
            renameWithRetries(run.backupDir, run.installDir, treeMoveAttempts, treeMovePauseMs);
        restorePreservedEntries(run.preserveDir, run.installDir, run.names);
        *error = QStringLiteral("Failed to install the staged payload.");
        return false;
    }
    return finishInstallation(run, error);
}

bool installInPlace(const Installation &run, QString *error)
{
    if (!overlayPayload(run.payloadRoot, run.installDir, error)) {
        restorePreservedEntries(run.preserveDir, run.installDir, run.names);
        if (error->isEmpty())
            *error = QStringLiteral("Failed to move the current installation to backup.");
        return false;
    }

    const QString executable = clientExecutableName();
    const QString executableSource = QDir(run.payloadRoot).filePath(executable);
    if (QFileInfo::exists(executableSource)) {
        // Built beside the old executable and renamed over it, so a failed copy leaves the old
        // one rather than none.
        if (!copyReplacing(executableSource, QDir(run.installDir).filePath(executable),
                           CopyScope::VisibleEntries)) {
            restorePreservedEntries(run.preserveDir, run.installDir, run.names);
            *error = QStringLiteral("Failed to replace Orvalink.exe during in-place update.");
            return false;
        }
    }
    return finishInstallation(run, error);
}

} // namespace

bool installStagedPayload(const QString &payloadRoot, const QString &installDir, QString *error)
{
    QString localError;
    QString *message = error ? error : &localError;
    message->clear();

    // Before anything else, even before the payload is looked at: a run whose payload is gone
    // must still give the user back what an interrupted run left aside.
    if (!recoverInterruptedInstallation(installDir, message))
        return false;

    if (!QFileInfo::exists(payloadRoot)) {
        *message = QStringLiteral("Extracted payload is missing.");
        return false;
    }

    const StagingLayout layout(installDir);
    const Installation run{payloadRoot, installDir, layout.backupDir(), layout.preserveDir(),
                           preservedEntryNames()};

    QDir().mkpath(run.preserveDir);
    if (!preserveEntries(run, message))
        return false;

    const bool installExisted = entryExists(installDir);
    if (!installExisted
        || renameWithRetries(installDir, run.backupDir, treeMoveAttempts, treeMovePauseMs))
        return installByMove(run, installExisted, message);
    return installInPlace(run, message);
}

void restorePreservedEntries(const QString &preserveDir, const QString &installDir,
                             const QStringList &names)
{
    // Creating a missing installation directory here would make the next run's recovery take it
    // for the installation and delete the backup that really holds it.
    if (!QFileInfo(installDir).isDir())
        return;
    const QDir preserve(preserveDir);
    const QDir install(installDir);
    for (const QString &name : names) {
        const QString source = preserve.filePath(name);
        if (!entryExists(source))
            continue;
        const QString target = install.filePath(name);
        if (renameWithRetries(source, target, preserveAttempts, preservePauseMs))
            continue;
        // Another volume or a lock that outlasts the retries: copy it back, and let go of the
        // preserved entry only once the copy stands complete in its place.
        if (copyReplacing(source, target, CopyScope::AllEntries))
            removePath(source);
    }
}

bool removePreserveDirIfEmpty(const QString &preserveDir)
{
    if (!entryExists(preserveDir))
        return true;
    if (Platform::isLink(preserveDir) || !QFileInfo(preserveDir).isDir())
        return removePath(preserveDir);
    return QDir().rmdir(preserveDir);
}

QString resolvePayloadRoot(const QString &extractedDir)
{
    const QFileInfoList entries =
        QDir(extractedDir).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot, QDir::NoSort);
    // A link is not descended into: the payload would then be moved out of where it points.
    if (entries.size() == 1 && entries.first().isDir()
        && !Platform::isLink(entries.first().filePath()))
        return entries.first().absoluteFilePath();
    return extractedDir;
}

} // namespace Updater
