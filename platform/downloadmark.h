#pragma once

#include <QString>

namespace Updater::Platform {

// Removes the mark of the web (the Zone.Identifier stream a browser adds to a download and
// Explorer passes on to what it unpacks) from every file below dir, so that the installed
// programs start without the system's warning each time. Links are not followed. Nothing to do
// elsewhere than on Windows. Any thread.
void removeDownloadMarks(const QString &dir);

} // namespace Updater::Platform
