#include "platform/runningprocesses.h"

#include "platform/entrywalk.h"
#include "platform/fileentries.h"

namespace Updater::Platform {

QStringList InstalledProcesses::namesInUse(const QString &installDir, const QStringList &names,
                                           qsizetype nameLength)
{
    QStringList inUse;
    if (names.isEmpty())
        return inUse;
    walkEntries(installDir, [&](const QFileInfo &entry) {
        const QString name = entry.fileName().toLower().left(nameLength);
        if (names.contains(name) && !inUse.contains(name)
            && entryKind(entry.filePath()) == EntryKind::File && isRunningImage(entry.filePath()))
            inUse << name;
        return true;
    });
    return inUse;
}

} // namespace Updater::Platform
