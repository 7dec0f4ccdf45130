#include "install/preservedentries.h"

#include "install/filetree.h"
#include "install/retrylimits.h"
#include "platform/filelinks.h"

#include <QDir>
#include <QFileInfo>

namespace Updater {

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
        if (renameWithRetries(source, target, preserveMoveAttempts, preserveMovePauseMs))
            continue;
        // Another volume or a lock that outlasts the retries: copy it back, and let go of the
        // preserved entry only once the copy stands complete in its place.
        if (copyReplacing(source, target, EntryScope::AllEntries))
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

} // namespace Updater
