#pragma once

#include <QString>

namespace Updater::Platform {

// The absolute path of a program the updater runs by its bare name ("taskkill"), or an empty
// string when there is none to run. The working directory is never searched: anyone may have put
// a program of that name there, and it would run with the updater's rights. A name that holds a
// directory is refused (empty) as well.
// Windows: the system's own program in the system directory (GetSystemDirectoryW),
//   System32\<name>, ".exe" added to a name without a suffix. Nothing beside the updater counts.
// Elsewhere: the program beside the running one (the stand-ins; needs a QCoreApplication for that
//   directory), then the absolute directories of PATH in order; empty, "." and relative entries
//   are skipped, as they all name the working directory or a place below it.
// Any thread.
QString locateProgram(const QString &program);

} // namespace Updater::Platform
