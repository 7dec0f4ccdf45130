#pragma once

#include <QStringList>

namespace Updater {

// The program once the QApplication exists. Refuses an incomplete command line with a critical
// message box and returns 1 once it is dismissed; otherwise shows the updater window, runs the
// event loop and returns its result. GUI thread only.
int runUpdater(const QStringList &arguments);

} // namespace Updater
