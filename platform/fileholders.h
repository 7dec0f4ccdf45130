#pragma once

#include <QStringList>

namespace Updater::Platform {

// The programs that hold files below dir open, as the system's Restart Manager names them
// ("Name (pid N)"), for the log when the installation could not be changed: a rename that keeps
// failing names no culprit of its own. Asks about the first few thousand files of the tree.
// Empty where the system cannot tell (elsewhere than on Windows). Any thread; may take a moment.
QStringList programsHoldingFiles(const QString &dir);

} // namespace Updater::Platform
