#pragma once

#include <QString>

namespace Updater {

// Whether Windows can hold name as one path segment (a file or directory name, no separator).
// Returns what is wrong with it ("holds a character Windows does not allow in names", "ends with
// a dot or a space, which Windows drops", "is a device name on Windows"), or an empty string when
// nothing is. Refused: control characters (DEL and C1 too, which Windows would take but no one
// means), <>:"\|?*, a trailing dot or space, and the device names CON, PRN, AUX, NUL, COM1-COM9
// and LPT1-LPT9 with or without an extension. Any thread.
QString windowsNameProblem(const QString &name);

} // namespace Updater
