#include "install/inplaceinstallation.h"

#include "common/productnames.h"
#include "install/filetree.h"
#include "install/overlaypayload.h"
#include "install/retrylimits.h"
#include "install/staginglayout.h"
#include "platform/fileentries.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QUrl>

namespace Updater {

namespace {

using Platform::EntryKind;

// One line per step, written before the step is taken:
//   writes <path>   the payload will write this top-level entry
//   aside <path>    the installation's entry is moved to the same path in the backup
//   open <path>     that entry is a directory that could not be moved: it stays, and its entries
//                   are set aside one by one (each with a line of its own)
//   writing         every entry is aside; the payload is being written
//   committed       the new tree stands complete
// Paths are relative to the installation, percent-encoded so that any name fits on one line.
const QString journalName = QStringLiteral(".orvalink-in-place-journal");

class Journal
{
public:
    bool open(const QString &backupDir)
    {
        m_file.setFileName(QDir(backupDir).filePath(journalName));
        return m_file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered);
    }

    // Written through at once: a kill right after the call must find the line.
    bool note(const QString &step, const QString &path = QString())
    {
        QByteArray line = step.toLatin1();
        if (!path.isEmpty())
            line += ' ' + QUrl::toPercentEncoding(path, "/");
        line += '\n';
        return m_file.write(line) == line.size();
    }

    // The end of the transaction also goes to disk, so that a power loss after it is not
    // mistaken for an unfinished installation and rolled back.
    bool commit()
    {
        return note(QStringLiteral("committed")) && m_file.flush()
               && Platform::flushToDisk(m_file.handle());
    }

private:
    QFile m_file;
};

struct Steps
{
    QStringList writes;
    QStringList asides;
    QSet<QString> open;
    bool writing = false;
    bool committed = false;
};

bool readSteps(const QString &backupDir, Steps *steps)
{
    QFile file(QDir(backupDir).filePath(journalName));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray &line : lines) {
        const int space = line.indexOf(' ');
        const QByteArray step = space < 0 ? line : line.left(space);
        const QString path = space < 0 ? QString() : QUrl::fromPercentEncoding(line.mid(space + 1));
        if (step == "writes")
            steps->writes << path;
        else if (step == "aside")
            steps->asides << path;
        else if (step == "open")
            steps->open.insert(path);
        else if (step == "writing")
            steps->writing = true;
        else if (step == "committed")
            steps->committed = true;
    }
    return true;
}

class Transaction
{
public:
    Transaction(const QString &payloadRoot, const QString &installDir, const QString &backupDir)
        : m_payload(payloadRoot)
        , m_install(installDir)
        , m_backup(backupDir)
    {
    }

    bool run(QString *error)
    {
        const auto fail = [this, error](const QString &message) {
            // A rollback that cannot finish leaves the journal for the next run's recovery.
            if (rollBackInPlace(m_install.path(), m_backup.path()))
                removePath(m_backup.path());
            if (error->isEmpty())
                *error = message;
            return false;
        };
        const QString movedAway =
            QStringLiteral("Failed to move the current installation to backup.");

        removePath(m_backup.path());
        if (!QDir().mkpath(m_backup.path()) || !m_journal.open(m_backup.path()))
            return fail(movedAway);

        const QStringList preserved = preservedEntryNames();
        const QFileInfoList entries = listEntries(m_payload.path(), EntryScope::VisibleEntries);
        for (const QFileInfo &entry : entries) {
            const QString name = entry.fileName();
            if (preserved.contains(name))
                continue;
            if (!m_journal.note(QStringLiteral("writes"), name)
                || (entryExists(m_install.filePath(name)) && !setAside(name)))
                return fail(movedAway);
        }

        if (!m_journal.note(QStringLiteral("writing"))
            || !overlayPayload(m_payload.path(), m_install.path(), error))
            return fail(movedAway);
        // The overlay leaves the client executable out; it goes in last, where the old one was
        // set aside like every other replaced entry.
        const QString executable = clientExecutableName();
        if (Platform::entryKind(m_payload.filePath(executable)) == EntryKind::File
            && !QFile::copy(m_payload.filePath(executable), m_install.filePath(executable)))
            return fail(QStringLiteral("Failed to replace Orvalink.exe during in-place update."));

        if (!m_journal.commit())
            return fail(movedAway);
        return true;
    }

private:
    // Moves the installation's entry at path (relative) to the same path in the backup; a
    // directory that cannot be moved (a handle open inside it) stays and gives up its entries.
    bool setAside(const QString &path)
    {
        const QString source = m_install.filePath(path);
        const QString target = m_backup.filePath(path);
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

    QDir m_payload;
    QDir m_install;
    QDir m_backup;
    Journal m_journal;
};

// Removes what the payload wrote at path: all of it, except that a directory which stayed in
// place (open) keeps itself and only loses what is in it. What cannot be deleted (the new
// client, started meanwhile, runs from it) is moved into staleDir.
void removeWritten(const QDir &install, const QString &path, const Steps &steps,
                   const QString &staleDir)
{
    if (!steps.open.contains(path)) {
        discardEntry(install.filePath(path), staleDir);
        return;
    }
    const QFileInfoList entries = listEntries(install.filePath(path), EntryScope::AllEntries);
    for (const QFileInfo &entry : entries)
        removeWritten(install, path + QLatin1Char('/') + entry.fileName(), steps, staleDir);
}

} // namespace

bool installInPlace(const QString &payloadRoot, const QString &installDir, const QString &backupDir,
                    QString *error)
{
    error->clear();
    Transaction transaction(payloadRoot, installDir, backupDir);
    return transaction.run(error);
}

BackupKind backupKind(const QString &backupDir)
{
    const EntryKind kind = Platform::entryKind(backupDir);
    if (kind == EntryKind::Missing)
        return BackupKind::None;
    Steps steps;
    if (kind != EntryKind::Directory || !readSteps(backupDir, &steps))
        return BackupKind::Installation;
    return steps.committed ? BackupKind::InPlaceCommitted : BackupKind::InPlaceUnfinished;
}

bool rollBackInPlace(const QString &installDir, const QString &backupDir)
{
    Steps steps;
    if (!readSteps(backupDir, &steps))
        return false;
    const QDir install(installDir);
    const QDir backup(backupDir);
    const QString staleDir = StagingLayout(installDir).staleDir();

    // Until the payload was being written, every entry in the installation is its own.
    if (steps.writing) {
        for (const QString &path : std::as_const(steps.writes))
            removeWritten(install, path, steps, staleDir);
    }

    bool complete = true;
    for (auto it = steps.asides.crbegin(); it != steps.asides.crend(); ++it) {
        const QString path = *it;
        if (steps.open.contains(path) || !entryExists(backup.filePath(path)))
            continue;
        // A complete entry in the backup is the original: whatever stands at its place now was
        // written over it, or is what was left of a move across volumes.
        const QString target = install.filePath(path);
        QDir().mkpath(QFileInfo(target).path());
        if (!discardEntry(target, staleDir)
            || !moveEntry(backup.filePath(path), target, treeMoveAttempts, treeMovePauseMs))
            complete = false;
    }
    return complete;
}

} // namespace Updater
