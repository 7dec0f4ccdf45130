#include "platform/processwait.h"

#include "platform/pidfd_linux.h"

#include <cerrno>
#include <csignal>
#include <unistd.h>

namespace Updater::Platform {

ProcessWaitResult waitForProcessExit(std::int64_t pid, int timeoutMs)
{
    // Mirror the Windows API, which sees only the low 32 bits of the id.
    const auto processId = static_cast<pid_t>(static_cast<std::uint32_t>(pid));
    if (processId <= 0)
        return ProcessWaitResult::NotFound;

    // pidfd_open asks for no rights at all; kill(pid, 0) tells whether the updater could end the
    // process, as OpenProcess on Windows tells whether it may wait for it.
    if (kill(processId, 0) != 0)
        return errno == ESRCH ? ProcessWaitResult::NotFound : ProcessWaitResult::CouldNotOpen;

    const int fd = openPidfd(processId);
    if (fd < 0)
        return errno == ESRCH ? ProcessWaitResult::NotFound : ProcessWaitResult::CouldNotOpen;
    const bool exited = waitForPidfd(fd, timeoutMs);
    close(fd);
    return exited ? ProcessWaitResult::Exited : ProcessWaitResult::TimedOutOrFailed;
}

} // namespace Updater::Platform
