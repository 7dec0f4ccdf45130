#include "install/inplaceinstallation.h"

#include "common/productnames.h"
#include "install/filetree.h"
#include "install/installationjournal.h"
#include "install/mergeback.h"
#include "install/overlaypayload.h"
#include "install/preservedentries.h"
#include "install/retrylimits.h"
#include "install/staginglayout.h"
#include "platform/fileentries.h"
#include "platform/hiddenentries.h"

#include <QDir>
#include <QFileInfo>

namespace Updater {

namespace {

using Platform::EntryKind;
using Format = InstallationJournal::Format;

// Where an in-place backup keeps its journal and the entries it set aside. Earlier builds kept
// both at the top of the backup directory.
struct Backup
{
    explicit Backup(const QString &directory, bool legacyLayout)
        : dir(directory)
        , format(legacyLayout ? Format::EarlierBuild : Format::Current)
        , journalName(legacyLayout ? QStringLiteral(".orvalink-in-place-journal")
                                   : QStringLiteral("journal"))
        , journal(QDir(directory).filePath(journalName))
        , entries(legacyLayout ? directory : QDir(directory).filePath(QStringLiteral("entries")))
    {
    }

    QString dir;
    Format format;
    QString journalName;
    QString journal;
    QString entries;
};

bool sameName(const QString &a, const QString &b)
{
    return a.compare(b, Platform::fileNameCase) == 0;
}

// A step on one file that the system may refuse for a moment (a scanner holding it).
bool retrying(const std::function<bool()> &step)
{
    return retried(preserveMoveAttempts, preserveMovePauseMs, step);
}

class Transaction
{
public:
    Transaction(const QString &payloadRoot, const QString &installDir, const QString &backupDir)
        : m_payload(payloadRoot)
        , m_install(installDir)
        , m_backup(backupDir, false)
        , m_entries(m_backup.entries)
    {
    }

    bool run(QString *error)
    {
        const auto fail = [this, error](const QString &message) {
            // On Windows the open journal would keep the backup from being deleted, and leave
            // a rollback for the next run to repeat.
            m_journal.close();
            rollBackInPlace(m_install.path(), m_backup.dir);
            if (error->isEmpty())
                *error = message;
            return false;
        };
        const QString movedAway =
            QStringLiteral("Failed to move the current installation to backup.");

        // Recovery has settled any earlier backup; only an empty one of this run may be here.
        if (entryExists(m_backup.dir))
            QDir().rmdir(m_backup.dir);
        if (entryExists(m_backup.dir) || !QDir().mkpath(m_entries.path())
            || !m_journal.create(m_backup.journal)) {
            m_journal.close();
            removePath(m_backup.dir);
            *error = movedAway;
            return false;
        }

        Platform::hideEntry(m_backup.dir);

        const QString executable = clientExecutableName();
        const bool swapsExecutable =
            Platform::entryKind(m_payload.filePath(executable)) == EntryKind::File;
        QStringList skipped;
        const QFileInfoList installed = listEntries(m_install.path(), EntryScope::AllEntries);
        for (const QFileInfo &entry : installed) {
            const QString name = entry.fileName();
            if (isPreservedEntryName(name)) {
                skipped << name;
                continue;
            }
            const bool ok =
                swapsExecutable && sameName(name, executable) ? keep(name) : setAside(name);
            if (!ok)
                return fail(movedAway);
        }
        if (swapsExecutable)
            skipped << executable;

        // Every entry the payload writes is named before the first is written. The user's
        // entries stay as they are; the payload's own one (under its shipped name when the
        // staged path had set it aside) is installed only where the user has none, as the staged
        // path does.
        QStringList shipped;
        const QStringList preserved = preservedEntryNames();
        for (const QString &name : preserved) {
            skipped << shippedEntryName(name);
            if (entryExists(m_payload.filePath(shippedEntryName(name)))
                && !skipped.contains(name, Platform::fileNameCase))
                shipped << name;
        }
        if (!m_journal.note(QStringLiteral("writing")))
            return fail(movedAway);
        const QFileInfoList payload = listEntries(m_payload.path(), EntryScope::AllEntries);
        for (const QFileInfo &entry : payload) {
            if (!skipped.contains(entry.fileName(), Platform::fileNameCase)
                && !m_journal.note(QStringLiteral("new"), entry.fileName()))
                return fail(movedAway);
        }
        for (const QString &name : std::as_const(shipped)) {
            if (!m_journal.note(QStringLiteral("new"), name))
                return fail(movedAway);
        }
        if (!overlayPayload(m_payload.path(), m_install.path(), skipped, error))
            return fail(movedAway);
        for (const QString &name : std::as_const(shipped)) {
            if (!copyRecursively(m_payload.filePath(shippedEntryName(name)),
                                 m_install.filePath(name), EntryScope::AllEntries))
                return fail(QStringLiteral("Could not copy %1").arg(name));
        }

        if (swapsExecutable && !swapExecutable(executable))
            return fail(QStringLiteral("Failed to replace Orvalink.exe during in-place update."));
        if (!m_journal.note(QStringLiteral("committed")))
            return fail(movedAway);
        m_journal.close();
        return true;
    }

private:
    // Moves the installation's entry at path (relative) to the same path in the backup; a
    // directory that cannot be moved (a handle open inside it) stays and gives up its entries.
    bool setAside(const QString &path)
    {
        const QString source = m_install.filePath(path);
        const QString target = m_entries.filePath(path);
        if (!entryExists(QFileInfo(target).path()))
            QDir().mkpath(QFileInfo(target).path());
        if (!m_journal.note(QStringLiteral("aside"), path))
            return false;
        if (moveEntry(source, target, preserveMoveAttempts, preserveMovePauseMs))
            return true;
        if (Platform::entryKind(source) != EntryKind::Directory)
            return false;
        if (!m_journal.note(QStringLiteral("open"), path) || !QDir().mkpath(target))
            return false;
        const QFileInfoList entries = listEntries(source, EntryScope::AllEntries);
        for (const QFileInfo &entry : entries) {
            if (!setAside(path + QLatin1Char('/') + entry.fileName()))
                return false;
        }
        return true;
    }

    // A complete copy of the installed client goes into the backup; the client itself stays
    // until the payload's replaces it in one rename.
    bool keep(const QString &name)
    {
        return m_journal.note(QStringLiteral("keep"), name)
               && copyReplacing(m_install.filePath(name), m_entries.filePath(name),
                                EntryScope::AllEntries);
    }

    bool swapExecutable(const QString &name)
    {
        const QString partial = m_install.filePath(partialCopyName(name));
        const QString installed = m_install.filePath(name);
        removePath(partial);
        if (!retrying([&] { return Platform::copyFile(m_payload.filePath(name), partial); })
            // A power loss right after the swap must not find an empty client.
            || !Platform::flushEntryToDisk(partial)
            || !m_journal.note(QStringLiteral("swap"), name))
            return false;
        if (retrying([&] { return Platform::replaceFile(partial, installed); }))
            return true;
        // A running image cannot be replaced, only renamed: it makes way, and the client is
        // missing for the one rename that follows. Its copy in the backup stands for it.
        return Platform::lastFailure() == Platform::Failure::Transient
               && discardEntry(installed, StagingLayout(m_install.path()).staleDir())
               && Platform::renameEntry(partial, installed);
    }

    QDir m_payload;
    QDir m_install;
    Backup m_backup;
    QDir m_entries;
    InstallationJournal m_journal;
};

class Rollback
{
public:
    Rollback(const QString &installDir, const Backup &backup,
             const InstallationJournal::Steps &steps)
        : m_install(installDir)
        , m_entries(backup.entries)
        , m_steps(steps)
        , m_staleDir(StagingLayout(installDir).staleDir())
    {
    }

    // Undoes what the journal names. True when every entry it set aside is back.
    bool run()
    {
        bool complete = true;
        // Until the payload was being written, every entry in the installation is its own.
        if (m_steps.writing) {
            for (auto it = m_steps.written.crbegin(); it != m_steps.written.crend(); ++it)
                removeWritten(*it);
        }
        for (auto it = m_steps.asides.crbegin(); it != m_steps.asides.crend(); ++it)
            complete = moveBack(*it) && complete;
        return complete;
    }

private:
    // Removes what the payload wrote at path: all of it, except that a directory which stayed
    // in place (open) keeps itself and only loses what is in it. An entry whose original is no
    // longer in the backup is that original, put back by an earlier rollback that did not
    // finish: it stays.
    void removeWritten(const QString &path)
    {
        if (m_steps.open.contains(path)) {
            const QFileInfoList entries =
                listEntries(m_install.filePath(path), EntryScope::AllEntries);
            for (const QFileInfo &entry : entries)
                removeWritten(path + QLatin1Char('/') + entry.fileName());
            return;
        }
        if (m_steps.asides.contains(path) && !entryExists(m_entries.filePath(path)))
            return;
        discardEntry(m_install.filePath(path), m_staleDir);
    }

    // The original goes back; whatever stands in its place now was written over it (or made
    // by a client started meanwhile, in an installation half new) and is replaced by it.
    bool moveBack(const QString &path)
    {
        const QString original = m_entries.filePath(path);
        if (m_steps.open.contains(path) || !entryExists(original))
            return true;
        const QString target = m_install.filePath(path);
        QDir().mkpath(QFileInfo(target).path());
        return discardEntry(target, m_staleDir)
               && moveEntry(original, target, treeMoveAttempts, treeMovePauseMs);
    }

    QDir m_install;
    QDir m_entries;
    const InstallationJournal::Steps &m_steps;
    QString m_staleDir;
};

// The copy of the client made before the payload's replaced it (whether or not the journal
// still says so): when the installed client is another now, the copy goes back the way the new
// one came, in one rename, so that the client is never missing; otherwise the copy is not
// needed. The payload's client written beside it goes.
bool putClientBack(const QString &installDir, const QString &entriesDir)
{
    const QString name = clientExecutableName();
    const QString installed = QDir(installDir).filePath(name);
    const QString copy = QDir(entriesDir).filePath(name);
    removePath(QDir(entriesDir).filePath(partialCopyName(name)));
    removePath(QDir(installDir).filePath(partialCopyName(name)));
    if (Platform::entryKind(copy) != EntryKind::File)
        return true;
    if (sameFileContents(copy, installed))
        return removePath(copy);
    return retrying([&] { return Platform::replaceFile(copy, installed); });
}

} // namespace

bool installInPlace(const QString &payloadRoot, const QString &installDir, const QString &backupDir,
                    QString *error)
{
    error->clear();
    Transaction transaction(payloadRoot, installDir, backupDir);
    return transaction.run(error);
}

bool isInPlaceBackup(const QString &backupDir, bool legacyLayout)
{
    const Backup backup(backupDir, legacyLayout);
    return Platform::entryKind(backupDir) == EntryKind::Directory
           && (entryExists(backup.journal) || (!legacyLayout && entryExists(backup.entries)));
}

bool rollBackInPlace(const QString &installDir, const QString &backupDir, QStringList *notes,
                     bool legacyLayout)
{
    if (!entryExists(backupDir))
        return true;
    const Backup backup(backupDir, legacyLayout);
    const InstallationJournal::Steps steps =
        InstallationJournal::read(backup.journal, backup.format);
    const QString staleDir = StagingLayout(installDir).staleDir();

    bool complete = true;
    if (!steps.readable) {
        if (notes && !listEntries(backup.entries, EntryScope::AllEntries).isEmpty())
            *notes << QStringLiteral("The journal of an interrupted update in %1 could not be "
                                     "read: everything it had set aside was put back, and "
                                     "nothing else was removed.")
                          .arg(QDir::toNativeSeparators(backupDir));
    } else if (!steps.committed && !steps.rolledBack) {
        complete = Rollback(installDir, backup, steps).run();
    }
    // After a commit the backup holds what the new tree replaced. Otherwise whatever it still
    // holds goes back too: an entry whose line was lost, or all of it when the journal is
    // unreadable.
    if (!steps.committed) {
        complete = putClientBack(installDir, backup.entries) && complete;
        complete = mergeBack(backup.entries, installDir, Present::Discard, staleDir, notes,
                             backup.journalName)
                   && complete;
    }
    if (!complete)
        return false;
    if (steps.readable && !steps.committed && !steps.rolledBack
        && backup.format == Format::Current) {
        // Marked before the backup goes, so that a backup only partly deleted is never rolled
        // back again.
        InstallationJournal journal;
        if (journal.reopen(backup.journal))
            journal.note(QStringLiteral("rolled back"));
    }
    return discardEntry(backupDir, staleDir);
}

} // namespace Updater
