#include "platform/downloadmark.h"

#include "platform/entrywalk.h"
#include "platform/fileentries.h"
#include "platform/longpath.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace Updater::Platform {

void removeDownloadMarks(const QString &dir)
{
    walkEntries(dir, [](const QFileInfo &entry) {
        // A file without the stream is the usual case, and not an error.
        if (entryKind(entry.filePath()) == EntryKind::File)
            DeleteFileW((longPath(entry.filePath()) + L":Zone.Identifier").c_str());
        return true;
    });
}

} // namespace Updater::Platform
