#include "install/installationrecovery.h"

#include "common/failure.h"
#include "common/productnames.h"
#include "install/filetree.h"
#include "install/inplaceinstallation.h"
#include "install/mergeback.h"
#include "install/preservedentries.h"
#include "install/retrylimits.h"
#include "install/staginglayout.h"
#include "platform/fileentries.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QThread>

#include <algorithm>

namespace Updater {

namespace {

using Platform::EntryKind;

bool isDirectory(const QString &path)
{
    return Platform::entryKind(path) == EntryKind::Directory;
}

bool holdsClient(const QString &dir)
{
    return Platform::entryKind(QDir(dir).filePath(clientExecutableName())) == EntryKind::File;
}

QString native(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

class Recovery
{
public:
    Recovery(const QString &installDir, QStringList *notes)
        : m_layout(installDir)
        , m_install(installDir)
        , m_notes(notes)
    {
    }

    // Leftovers of earlier builds, which named their working directories without the
    // installation's name. False with the directory that could not be settled in *failed.
    bool settleEarlierBuild(QString *failed)
    {
        // It held only what could not be deleted yet, whoever left it.
        removePath(m_layout.legacyStaleDir());
        const QString backup = m_layout.legacyBackupDir();
        const QString preserve = m_layout.preserveDir();
        if (!entryExists(backup) && !entryExists(preserve))
            return true;
        const bool inPlace = isInPlaceBackup(backup, true);
        const bool ours = !anotherInstallationBeside()
                          || (entryExists(backup) && !inPlace && !entryExists(m_install));
        if (!ours) {
            for (const QString &dir : {backup, preserve}) {
                if (entryExists(dir))
                    note(QStringLiteral("%1 was left by an earlier update in this folder, which "
                                        "may have been another installation's; it is left alone.")
                             .arg(native(dir)));
            }
            return true;
        }
        if (inPlace) {
            if (!rollBackInPlace(m_install, backup, m_notes, true))
                return fail(failed, backup);
        } else if (isDirectory(backup)) {
            if (!settleMovedInstallation(backup))
                return fail(failed, backup);
            discardEntry(backup, m_layout.staleDir());
        } else {
            // A file or a link of that name holds nothing of an installation.
            removePath(backup);
        }
        if (!isDirectory(m_install))
            return true;
        // Earlier builds kept the user's entries there while the installation was exchanged.
        const QStringList names = preservedEntriesIn(preserve);
        restorePreservedEntries(preserve, m_install, names, LiveEntry::KeepChanges, m_notes);
        bool holdsUserEntry = false;
        for (const QString &name : names) {
            removePath(QDir(preserve).filePath(partialCopyName(name)));
            holdsUserEntry = holdsUserEntry || entryExists(QDir(preserve).filePath(name));
        }
        if (!holdsUserEntry)
            removePath(preserve);
        return true;
    }

    // This build's own working directories.
    bool settleOwn(QString *failed)
    {
        const QString backup = m_layout.backupDir();
        const QString moved = QDir(backup).filePath(QStringLiteral("installation"));
        if (entryExists(moved)) {
            if (!settleMovedInstallation(moved))
                return fail(failed, backup);
        } else if (isInPlaceBackup(backup)) {
            if (!rollBackInPlace(m_install, backup, m_notes))
                return fail(failed, backup);
        }
        // Emptied, or made for a move that never happened.
        discardEntry(backup, m_layout.staleDir());

        // The payload, moved beside the installation: the user's entries went into it before the
        // exchange (the payload's own wait under other names there), and go back.
        const QString incoming = m_layout.incomingDir();
        if (!entryExists(incoming))
            return true;
        QStringList names = preservedEntriesIn(incoming);
        const bool holdsUserEntry =
            std::any_of(names.cbegin(), names.cend(), [&](const QString &name) {
                return entryExists(QDir(incoming).filePath(name));
            });
        // With the installation gone whatever way, the payload and the user's entries in it are
        // the installation there is: it takes the place.
        if (holdsUserEntry && !entryExists(m_install))
            return moveEntry(incoming, m_install, treeMoveAttempts, treeMovePauseMs)
                   || fail(failed, incoming);
        if (isDirectory(m_install)) {
            names.erase(std::remove_if(names.begin(), names.end(),
                                       [this](const QString &name) {
                                           return entryExists(QDir(m_install).filePath(name));
                                       }),
                        names.end());
            if (!restorePreservedEntries(incoming, m_install, names))
                return fail(failed, incoming);
        }
        discardEntry(incoming, m_layout.staleDir());
        return true;
    }

    // What a run killed while copying left in the installation, and the payload's own user
    // entries that the exchange had moved out of the way of the user's.
    void tidyInstallation()
    {
        if (!isDirectory(m_install))
            return;
        const QDir install(m_install);
        const QStringList names = preservedEntryNames();
        for (const QString &name : names) {
            removePath(install.filePath(partialCopyName(name)));
            const QString shipped = install.filePath(shippedEntryName(name));
            if (entryExists(shipped) && !entryExists(install.filePath(name)))
                moveEntry(shipped, install.filePath(name), preserveMoveAttempts,
                          preserveMovePauseMs);
            discardEntry(shipped, m_layout.staleDir());
        }
        removePath(install.filePath(partialCopyName(clientExecutableName())));
        removePath(install.filePath(QStringLiteral("config/")
                                    + partialCopyName(QStringLiteral("configs.json"))));
    }

    // Another installation's working directories in the folder are never touched; the log says
    // that they were seen.
    void noteOthers()
    {
        const QStringList own{QFileInfo(m_layout.backupDir()).fileName(),
                              QFileInfo(m_layout.incomingDir()).fileName()};
        const QFileInfoList entries = listEntries(m_layout.parentDir(), EntryScope::AllEntries);
        for (const QFileInfo &entry : entries) {
            const QString name = entry.fileName();
            if ((name.startsWith(QLatin1String(".orvalink-backup-"), Platform::fileNameCase)
                 || name.startsWith(QLatin1String(".orvalink-incoming-"), Platform::fileNameCase))
                && !own.contains(name, Platform::fileNameCase))
                note(QStringLiteral("%1 belongs to another installation in this folder; it is "
                                    "left alone.")
                         .arg(native(entry.filePath())));
        }
    }

private:
    static bool fail(QString *failed, const QString &dir)
    {
        *failed = dir;
        return false;
    }

    void note(const QString &line)
    {
        if (m_notes)
            *m_notes << line;
    }

    // A directory beside this one that holds the client is another installation.
    bool anotherInstallationBeside() const
    {
        const QFileInfoList entries = listEntries(m_layout.parentDir(), EntryScope::AllEntries);
        for (const QFileInfo &entry : entries) {
            const QString name = entry.fileName();
            if (name.compare(m_layout.installName(), Platform::fileNameCase) != 0
                && !name.startsWith(QLatin1String(".orvalink-"), Platform::fileNameCase)
                && isDirectory(entry.filePath()) && holdsClient(entry.filePath()))
                return true;
        }
        return false;
    }

    // The previous installation, moved aside whole, at `moved`.
    bool settleMovedInstallation(const QString &moved)
    {
        if (!entryExists(m_install))
            return putInstallationBack(moved, m_install, m_notes);
        if (!holdsClient(m_install)) {
            // Something (the client writing a log, an installer) made the directory again while
            // the installation was away: keeping only it would lose the program.
            note(QStringLiteral("The installation directory %1 was made again while an update "
                                "was interrupted; the previous installation was put back into "
                                "it.")
                     .arg(native(m_install)));
            return mergeBack(moved, m_install, Present::KeepBeside, m_layout.staleDir(), m_notes);
        }
        // The new tree stands; the user's entries had not all followed it yet. The new client
        // may have run meanwhile, so nothing it wrote there is thrown away for them.
        return restorePreservedEntries(moved, m_install, preservedEntriesIn(moved),
                                       LiveEntry::KeepChanges, m_notes);
    }

    StagingLayout m_layout;
    QString m_install;
    QStringList *m_notes;
};

} // namespace

bool recoverInterruptedInstallation(const QString &installDir, QString *error, QStringList *notes)
{
    if (error)
        error->clear();
    const StagingLayout layout(installDir);
    // What an earlier run could not delete yet (an image that was still running).
    removePath(layout.staleDir());

    Recovery recovery(installDir, notes);
    recovery.noteOthers();
    QString failed;
    if (!recovery.settleEarlierBuild(&failed) || !recovery.settleOwn(&failed))
        return fail(error, QStringLiteral("Could not restore the previous installation from %1")
                               .arg(native(failed)));
    recovery.tidyInstallation();
    return true;
}

bool putInstallationBack(const QString &backup, const QString &installDir, QStringList *notes)
{
    QElapsedTimer waited;
    waited.start();
    unsigned long pause = restoreFirstPauseMs;
    for (;;) {
        if (Platform::renameEntry(backup, installDir)) {
            if (notes && waited.elapsed() >= 1000)
                *notes << QStringLiteral("The previous installation was put back from %1 after "
                                         "waiting %2 s for it to be released.")
                              .arg(native(backup))
                              .arg(waited.elapsed() / 1000);
            return true;
        }
        if (Platform::lastFailure() != Platform::Failure::Transient
            || waited.elapsed() + static_cast<qint64>(pause) > restoreBudgetMs)
            break;
        QThread::msleep(pause);
        pause = std::min<unsigned long>(pause * 2, restoreLongestPauseMs);
    }
    if (notes)
        *notes << QStringLiteral("The previous installation could not be put back from %1 to "
                                 "%2: something still holds a file in it (waited %3 s).")
                      .arg(native(backup), native(installDir))
                      .arg(waited.elapsed() / 1000);
    return false;
}

} // namespace Updater
