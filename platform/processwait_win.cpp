#include "platform/processwait.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace Updater::Platform {

ProcessWaitResult waitForProcessExit(std::int64_t pid, int timeoutMs)
{
    const DWORD processId = static_cast<DWORD>(static_cast<std::uint64_t>(pid) & 0xFFFFFFFFu);
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, processId);
    if (!process) {
        // OpenProcess answers ERROR_INVALID_PARAMETER for an id no process has; anything else
        // (access denied above all) leaves a process that may still run.
        return GetLastError() == ERROR_INVALID_PARAMETER ? ProcessWaitResult::NotFound
                                                         : ProcessWaitResult::CouldNotOpen;
    }

    const DWORD result = WaitForSingleObject(process, static_cast<DWORD>(timeoutMs));
    CloseHandle(process);
    if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED)
        return ProcessWaitResult::Exited;
    return ProcessWaitResult::TimedOutOrFailed;
}

} // namespace Updater::Platform
