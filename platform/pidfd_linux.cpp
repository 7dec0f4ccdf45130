#include "platform/pidfd_linux.h"

#include <cerrno>
#include <chrono>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#ifndef SYS_pidfd_open
#define SYS_pidfd_open 434
#endif

namespace Updater::Platform {

int openPidfd(pid_t pid)
{
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

bool waitForPidfd(int fd, int timeoutMs)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int pollMs = -1;
        if (timeoutMs >= 0) {
            // Round up so that a wait never ends before its limit because of truncation.
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            pollMs = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
        // A pidfd becomes readable once the process has ended, zombie or reaped alike.
        pollfd entry{fd, POLLIN, 0};
        const int ready = poll(&entry, 1, pollMs);
        if (ready > 0)
            return true;
        if (ready == 0 || errno != EINTR)
            return false;
    }
}

} // namespace Updater::Platform
