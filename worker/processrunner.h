#pragma once

#include <QString>
#include <QStringList>

namespace Updater {

// Runs a program to its end: waits up to 30 s for it to start, closes its input at once, then
// waits without a limit. The program is a bare name, found by Platform::locateProgram (the
// system's own on Windows, never in the working directory).
// True when it ended normally with exit code 0. Otherwise false, and *error (may be null; it is
// cleared on entry) receives "Failed to start <program>", or the program's whole standard error,
// or, when that is blank, its whole standard output, or, when both are blank,
// "<program> exited with code <n>"; <program> is always the name as given. Its output is read
// as Platform::decodeConsoleOutput says (the OEM code page on Windows, UTF-8 elsewhere).
// Blocks the calling thread and needs no event loop; any thread.
bool runProcess(const QString &program, const QStringList &arguments, QString *error);

} // namespace Updater
