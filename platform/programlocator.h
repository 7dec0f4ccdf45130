#pragma once

#include <QString>

namespace Updater::Platform {

// The program to hand to QProcess for a name such as "taskkill". A bare name (no directory
// separator) is looked for beside the running program first, then in PATH, the order in which
// Windows itself searches. Returns the absolute path that was found, or the name unchanged when
// nothing was found or the name already holds a directory (QProcess then reports the failure).
// On Windows the name is always returned unchanged: CreateProcess already searches this way.
// Needs a QCoreApplication for the program's own directory; any thread.
QString locateProgram(const QString &program);

} // namespace Updater::Platform
