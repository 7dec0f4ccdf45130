#pragma once

#include <cstdint>

namespace Updater::Platform {

enum class ProcessWaitResult {
    Exited,           // the process has ended (or was abandoned)
    TimedOutOrFailed, // still running after the limit, or the wait itself failed
    NotFound,         // there is no process with this id: it has already gone
    CouldNotOpen,     // it may well run, but the updater has no right to wait for it or end it
};

// Blocks the calling thread until the process with the given id ends or timeoutMs passes
// (a negative timeoutMs waits without a limit). Any thread.
// Windows: OpenProcess(SYNCHRONIZE) and WaitForSingleObject on the low 32 bits of the id; access
// denied (an elevated process, a non-elevated updater) is CouldNotOpen.
// Linux: kill(pid, 0), where EPERM (another user's process) is CouldNotOpen, then pidfd_open and
// poll, so the wait costs no CPU.
ProcessWaitResult waitForProcessExit(std::int64_t pid, int timeoutMs);

} // namespace Updater::Platform
