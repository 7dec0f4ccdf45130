#pragma once

#include <cstdint>

namespace Updater::Platform {

enum class ProcessWaitResult {
    Exited,           // the process has ended (or was abandoned)
    TimedOutOrFailed, // still running after the limit, or the wait itself failed
    CouldNotOpen,     // no such process, or no right to wait on it
};

// Blocks the calling thread until the process with the given id ends or timeoutMs passes
// (a negative timeoutMs waits without a limit). Any thread.
// Windows: OpenProcess(SYNCHRONIZE) and WaitForSingleObject on the low 32 bits of the id.
// Linux: pidfd_open and poll, so the wait costs no CPU.
ProcessWaitResult waitForProcessExit(std::int64_t pid, int timeoutMs);

} // namespace Updater::Platform
