#include "install/mergeback.h"

#include "install/filetree.h"
#include "install/preservedentries.h"
#include "install/retrylimits.h"
#include "platform/fileentries.h"

#include <QDir>
#include <QFileInfo>

namespace Updater {

namespace {

using Platform::EntryKind;

bool isDirectory(const QString &path)
{
    return Platform::entryKind(path) == EntryKind::Directory;
}

} // namespace

bool mergeBack(const QString &from, const QString &to, Present present, const QString &staleDir,
               QStringList *notes, const QString &skipped)
{
    bool complete = true;
    const QFileInfoList entries = listEntries(from, EntryScope::AllEntries);
    for (const QFileInfo &entry : entries) {
        if (!skipped.isEmpty() && entry.fileName() == skipped)
            continue;
        const QString source = entry.filePath();
        const QString target = QDir(to).filePath(entry.fileName());
        if (isDirectory(source) && isDirectory(target)) {
            complete = mergeBack(source, target, present, staleDir, notes) && complete;
            continue;
        }
        if (entryExists(target)) {
            bool cleared = false;
            if (present == Present::Discard) {
                cleared = discardEntry(target, staleDir);
            } else {
                const QString keep = keptPlace(to, entry.fileName());
                cleared = moveEntry(target, keep, preserveMoveAttempts, preserveMovePauseMs);
                if (cleared && notes)
                    *notes << QStringLiteral("What stood in the place of %1 was kept in %2")
                                  .arg(QDir::toNativeSeparators(target),
                                       QDir::toNativeSeparators(keep));
            }
            if (!cleared) {
                complete = false;
                continue;
            }
        }
        QDir().mkpath(to);
        if (moveEntry(source, target, treeMoveAttempts, treeMovePauseMs))
            continue;
        // A directory that cannot be moved whole (a handle open inside) goes back entry by entry.
        complete = isDirectory(source) && QDir().mkpath(target)
                   && mergeBack(source, target, present, staleDir, notes) && complete;
    }
    return complete;
}

} // namespace Updater
