#pragma once

#include <sys/types.h>

namespace Updater::Platform {

// A pidfd refers to one process for as long as it is open: unlike its id, it can never come to
// mean another process. Linux 5.3 and later.

// A pidfd of the process with the given id, or -1 with errno set (ESRCH: no such process).
int openPidfd(pid_t pid);

// Blocks until the process of fd has ended (a zombie counts as ended) or timeoutMs passes; a
// negative timeoutMs waits without a limit, 0 only looks. True when it has ended.
bool waitForPidfd(int fd, int timeoutMs);

} // namespace Updater::Platform
