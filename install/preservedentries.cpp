#include "install/preservedentries.h"

#include "common/productnames.h"
#include "install/filetree.h"
#include "install/retrylimits.h"
#include "install/staginglayout.h"
#include "platform/fileentries.h"
#include "platform/filelinks.h"

#include <QDir>
#include <QFileInfo>

namespace Updater {

namespace {

using Platform::EntryKind;

bool sameEntry(const QString &live, const QString &preserved)
{
    const EntryKind kind = Platform::entryKind(live);
    if (kind != Platform::entryKind(preserved))
        return false;
    if (kind == EntryKind::Link)
        return QFileInfo(live).symLinkTarget() == QFileInfo(preserved).symLinkTarget();
    if (kind == EntryKind::File)
        return sameFileContents(live, preserved);
    return kind == EntryKind::Directory;
}

// Moves whatever of live differs from preserved into keep (same relative paths); directories on
// both sides are compared entry by entry. True when anything was kept; *failed when something
// that differs could not be moved.
bool keepDifferences(const QString &live, const QString &preserved, const QString &keep,
                     bool *failed)
{
    if (Platform::entryKind(live) != EntryKind::Directory
        || Platform::entryKind(preserved) != EntryKind::Directory) {
        if (sameEntry(live, preserved))
            return false;
        QDir().mkpath(QFileInfo(keep).path());
        if (moveEntry(live, keep, preserveMoveAttempts, preserveMovePauseMs))
            return true;
        *failed = true;
        return false;
    }
    bool kept = false;
    const QFileInfoList entries = listEntries(live, EntryScope::AllEntries);
    for (const QFileInfo &entry : entries) {
        const QString name = entry.fileName();
        kept = keepDifferences(entry.filePath(), QDir(preserved).filePath(name),
                               QDir(keep).filePath(name), failed)
               || kept;
    }
    return kept;
}

const QString keptSuffix = QStringLiteral(".after-interrupted-update");

} // namespace

QStringList preservedEntriesIn(const QString &dir)
{
    QStringList names = preservedEntryNames();
    const QFileInfoList entries = listEntries(dir, EntryScope::AllEntries);
    for (const QFileInfo &entry : entries) {
        const QString name = entry.fileName();
        if (isPreservedEntryName(name) && !names.contains(name, Platform::fileNameCase))
            names << name;
    }
    return names;
}

bool isPreservedEntryName(const QString &name)
{
    const QStringList fixed = preservedEntryNames();
    for (const QString &preserved : fixed) {
        if (name.compare(preserved, Platform::fileNameCase) == 0
            || name.startsWith(preserved + keptSuffix, Platform::fileNameCase))
            return true;
    }
    return false;
}

QString shippedEntryName(const QString &name)
{
    return QStringLiteral(".orvalink-shipped-") + name;
}

QString keptPlace(const QString &dir, const QString &name)
{
    const int ending = name.indexOf(keptSuffix, 0, Platform::fileNameCase);
    const QString base = (ending > 0 ? name.left(ending) : name) + keptSuffix;
    const QDir place(dir);
    QString candidate = base;
    for (int number = 2; entryExists(place.filePath(candidate)); ++number)
        candidate = QStringLiteral("%1-%2").arg(base).arg(number);
    return place.filePath(candidate);
}

bool restorePreservedEntries(const QString &preserveDir, const QString &installDir,
                             const QStringList &names, LiveEntry live, QStringList *notes)
{
    // Creating a missing installation directory here would make the next run's recovery take it
    // for the installation and delete the backup that really holds it.
    if (!QFileInfo(installDir).isDir())
        return false;
    const QDir preserve(preserveDir);
    const QDir install(installDir);
    bool complete = true;
    for (const QString &name : names) {
        const QString source = preserve.filePath(name);
        if (!entryExists(source))
            continue;
        const QString target = install.filePath(name);
        if (live == LiveEntry::KeepChanges && entryExists(target)) {
            const QString keep = keptPlace(installDir, name);
            bool failed = false;
            if (keepDifferences(target, source, keep, &failed) && notes) {
                *notes << QStringLiteral("Changes made after an interrupted update were kept in %1")
                              .arg(QDir::toNativeSeparators(keep));
            }
            // What could not be kept must not be replaced either; the preserved entry waits.
            if (failed) {
                complete = false;
                continue;
            }
        }
        // What stands in the way now is the payload's own, or holds nothing the preserved entry
        // lacks; it goes only once the user's entry can take its place.
        if (entryExists(target) && !discardEntry(target, StagingLayout(installDir).staleDir())) {
            complete = false;
            continue;
        }
        if (moveEntry(source, target, preserveMoveAttempts, preserveMovePauseMs))
            continue;
        // A lock that outlasts the retries: copy it back, and let go of the preserved entry only
        // once the copy stands complete in its place.
        if (copyReplacing(source, target, EntryScope::AllEntries))
            removePath(source);
        else
            complete = false;
    }
    return complete;
}

} // namespace Updater
