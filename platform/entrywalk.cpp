#include "platform/entrywalk.h"

#include "platform/fileentries.h"

#include <QDir>

namespace Updater::Platform {

bool walkEntries(const QString &dir, const std::function<bool(const QFileInfo &entry)> &visit)
{
    const QFileInfoList entries = QDir(dir).entryInfoList(QDir::AllEntries | QDir::Hidden
                                                          | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        if (!visit(entry))
            return false;
        // Qt would follow a link (and a Windows shortcut) in its own answers.
        if (entryKind(entry.filePath()) == EntryKind::Directory
            && !walkEntries(entry.filePath(), visit))
            return false;
    }
    return true;
}

} // namespace Updater::Platform
