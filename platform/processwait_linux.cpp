#include "platform/processwait.h"

#include <cerrno>
#include <chrono>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#ifndef SYS_pidfd_open
#define SYS_pidfd_open 434
#endif

namespace Updater::Platform {

ProcessWaitResult waitForProcessExit(std::int64_t pid, int timeoutMs)
{
    // Mirror the Windows API, which sees only the low 32 bits of the id.
    const auto processId = static_cast<pid_t>(static_cast<std::uint32_t>(pid));
    if (processId <= 0)
        return ProcessWaitResult::CouldNotOpen;

    const int fd = static_cast<int>(syscall(SYS_pidfd_open, processId, 0));
    if (fd < 0)
        return ProcessWaitResult::CouldNotOpen;

    // A pidfd becomes readable once the process has ended, zombie or reaped alike.
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    ProcessWaitResult outcome = ProcessWaitResult::TimedOutOrFailed;
    for (;;) {
        // A negative limit waits for ever, as INFINITE (-1 as a DWORD) does on Windows.
        int pollMs = -1;
        if (timeoutMs >= 0) {
            // Round up so that a wait never ends before its limit because of truncation.
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            pollMs = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
        pollfd entry{fd, POLLIN, 0};
        const int ready = poll(&entry, 1, pollMs);
        if (ready > 0) {
            outcome = ProcessWaitResult::Exited;
            break;
        }
        if (ready == 0 || errno != EINTR)
            break;
    }
    close(fd);
    return outcome;
}

} // namespace Updater::Platform
