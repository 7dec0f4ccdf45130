#include "install/stagedinstallation.h"

#include "common/failure.h"
#include "common/productnames.h"
#include "install/filetree.h"
#include "install/inplaceinstallation.h"
#include "install/installationrecovery.h"
#include "install/legacyconfigmigration.h"
#include "install/preservedentries.h"
#include "install/retrylimits.h"
#include "install/staginglayout.h"
#include "platform/fileentries.h"
#include "platform/filelinks.h"
#include "platform/hiddenentries.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>

namespace Updater {

namespace {

// One exchange of the installation directory for the payload. The payload is moved beside the
// installation first, and the user's entries into it (config last); then two renames back to
// back, the installation into its backup and the payload into its place, so that the client is
// missing for the one rename between them, and config only from its own move until then.
class Exchange
{
public:
    Exchange(const QString &payloadRoot, const QString &installDir, QStringList *notes)
        : m_layout(installDir)
        , m_payloadRoot(payloadRoot)
        , m_install(installDir)
        , m_backup(m_layout.backupDir())
        , m_moved(QDir(m_backup).filePath(QStringLiteral("installation")))
        , m_incoming(m_layout.incomingDir())
        , m_notes(notes)
    {
        // The client's settings go last: without them the client would start afresh.
        const QStringList names = preservedEntriesIn(installDir);
        for (auto it = names.crbegin(); it != names.crend(); ++it) {
            if (entryExists(entryIn(installDir, *it)))
                m_userEntries << *it;
        }
    }

    bool run(QString *error)
    {
        const QString notInstalled = QStringLiteral("Failed to install the staged payload.");
        if (!bringPayloadBeside())
            return fail(error, notInstalled);
        setShippedAside();

        if (!entryExists(m_install)) {
            // Nothing to keep: the payload simply takes its place.
            if (!moveEntry(m_incoming, m_install, treeMoveAttempts, treeMovePauseMs)) {
                returnPayload();
                return fail(error, notInstalled);
            }
            putShippedBack(m_install);
            return migrateLegacyConfig(m_install, error);
        }

        // Hidden on Windows like every working directory; the installation inside it keeps its
        // own attributes.
        QDir().mkpath(m_backup);
        Platform::hideEntry(m_backup);
        // A user's entry that cannot be moved (a handle open in it) keeps the installation from
        // being moved as well: the in-place path leaves it untouched.
        if (!moveUserEntries(m_install, m_incoming)
            || !moveEntry(m_install, m_moved, treeMoveAttempts, treeMovePauseMs)) {
            QDir().rmdir(m_backup);
            // Entries that cannot go back wait beside it for the next run's recovery, never
            // to be deleted with the payload.
            if (!moveUserEntries(m_incoming, m_install))
                return fail(error, notInstalled);
            return installInPlace(error);
        }
        if (!moveEntry(m_incoming, m_install, treeMoveAttempts, treeMovePauseMs)) {
            putInstallationBack();
            return fail(error, notInstalled);
        }

        putShippedBack(m_install);
        // A failed migration leaves the new tree in place and the backup beside it.
        if (!migrateLegacyConfig(m_install, error))
            return false;
        discardEntry(m_backup, m_layout.staleDir());
        return true;
    }

private:
    static QString entryIn(const QString &dir, const QString &name)
    {
        return QDir(dir).filePath(name);
    }

    // Moves the user's entries that `from` holds into `to`, where none of them stands, by
    // rename only: a copy is never made of them. Back into the installation config goes first.
    // False when one could not be moved; those moved before it stay moved.
    bool moveUserEntries(const QString &from, const QString &to)
    {
        QStringList names = m_userEntries;
        if (to == m_install)
            std::reverse(names.begin(), names.end());
        for (const QString &name : std::as_const(names)) {
            const QString source = entryIn(from, name);
            if (entryExists(source) && !retried(preserveMoveAttempts, preserveMovePauseMs, [&] {
                    return Platform::renameEntry(source, entryIn(to, name));
                }))
                return false;
        }
        return true;
    }

    // The payload beside the installation, so that it is on the installation's volume and is
    // known to be movable before the installation is moved away. Moves never delete what stands
    // at their target: something that made the installation directory again meanwhile keeps it.
    bool bringPayloadBeside()
    {
        if (!discardEntry(m_incoming, m_layout.staleDir()))
            return false;
        m_payloadCopied =
            Platform::fileSystemId(m_payloadRoot) != Platform::fileSystemId(m_layout.parentDir());
        if (!m_payloadCopied)
            return moveEntry(m_payloadRoot, m_incoming, treeMoveAttempts, treeMovePauseMs);
        // From another volume no rename can take it into place: a copy beside does, and the
        // payload stays where it is.
        return copyReplacing(m_payloadRoot, m_incoming, EntryScope::AllEntries);
    }

    void returnPayload()
    {
        putShippedBack(m_incoming);
        if (m_payloadCopied
            || !moveEntry(m_incoming, m_payloadRoot, treeMoveAttempts, treeMovePauseMs))
            discardEntry(m_incoming, m_layout.staleDir());
    }

    // The payload's own config, groups or profiles wait under other names (shippedEntryName), so
    // that whatever bears those names beside the installation is the user's, which a recovery
    // then gives back.
    void setShippedAside()
    {
        const QStringList names = preservedEntryNames();
        for (const QString &name : names) {
            if (entryExists(entryIn(m_incoming, name)))
                moveEntry(entryIn(m_incoming, name), entryIn(m_incoming, shippedEntryName(name)),
                          preserveMoveAttempts, preserveMovePauseMs);
        }
    }

    // A payload's own entry is installed where the user has none of that name.
    void putShippedBack(const QString &tree)
    {
        const QStringList names = preservedEntryNames();
        for (const QString &name : names) {
            const QString shipped = entryIn(tree, shippedEntryName(name));
            if (!entryExists(shipped))
                continue;
            if (!entryExists(entryIn(tree, name)))
                moveEntry(shipped, entryIn(tree, name), preserveMoveAttempts, preserveMovePauseMs);
            discardEntry(shipped, m_layout.staleDir());
        }
    }

    bool installInPlace(QString *error)
    {
        if (!Updater::installInPlace(m_incoming, m_install, m_backup, error)) {
            returnPayload();
            return false;
        }
        discardEntry(m_incoming, m_layout.staleDir());
        // What the new tree replaced is of no use once it stands, whether or not the settings
        // can be migrated.
        const bool migrated = migrateLegacyConfig(m_install, error);
        discardEntry(m_backup, m_layout.staleDir());
        return migrated;
    }

    // The payload could not take the installation's place: the installation goes back, and the
    // user's entries from the payload into it. A failure leaves everything for the next run's
    // recovery.
    void putInstallationBack()
    {
        if (!Updater::putInstallationBack(m_moved, m_install, m_notes))
            return;
        QDir().rmdir(m_backup);
        if (moveUserEntries(m_incoming, m_install))
            returnPayload();
    }

    StagingLayout m_layout;
    QString m_payloadRoot;
    QString m_install;
    QString m_backup;
    QString m_moved;
    QString m_incoming;
    QStringList m_userEntries;
    QStringList *m_notes;
    bool m_payloadCopied = false;
};

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
    return Exchange(payloadRoot, installDir, notes).run(message);
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
