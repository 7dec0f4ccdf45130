#pragma once

#include <QString>

namespace Updater::Platform {

// Starts program without arguments in workingDir, detached from the updater, and hands it none
// of the updater's handles or file descriptors beyond the standard ones: the client runs for
// hours and must hold nothing of the updater's (the lock file, a pipe of whoever started the
// updater) for that long. False when it could not be started. Any thread.
// Windows: CreateProcess with bInheritHandles = FALSE. Elsewhere: every descriptor above 2 of
// this process is made close-on-exec first.
bool startProgramDetached(const QString &program, const QString &workingDir);

} // namespace Updater::Platform
