#pragma once

#include <QString>

#include <cstdint>

namespace Updater::Platform {

enum class ProcessWaitResult {
    Exited,           // the process has ended (or was abandoned)
    TimedOutOrFailed, // still running after the limit, or the wait itself failed
    NotFound,         // there is no process with this id: it has already gone
    CouldNotOpen,     // it may well run, but the updater has no right to wait for it or end it
};

// A moment on the clock the system keeps the start of processes in (100 ns since 1601 on Windows,
// clock ticks since boot on Linux): comparable only with another such moment of the same machine.
using ProcessStartTime = std::uint64_t;
ProcessStartTime processClockNow();
ProcessStartTime thisProcessStartTime();

// One process, opened by its id once and held from then on, so that the id cannot come to mean
// another process while it waits: the client an update waits for is opened at start-up, before
// the window appears, not minutes later when the system may have given its id to another
// process. Only the low 32 bits of the id count, as on Windows. Any thread; not copyable.
// Windows: OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION); an elevated process
// grants a non-elevated updater only the limited query, and is then watched by its exit code.
// Linux: kill(pid, 0), where EPERM (another user's process: the updater could not end it either)
// is CouldNotOpen, then a pidfd, so that the wait costs no CPU.
class HeldProcess
{
public:
    // Opens the process with the given id (none for an id <= 0). A process that started after
    // startedBy is not held: it got the id after the process meant had ended.
    explicit HeldProcess(std::int64_t pid, ProcessStartTime startedBy = thisProcessStartTime());
    ~HeldProcess();
    HeldProcess(const HeldProcess &) = delete;
    HeldProcess &operator=(const HeldProcess &) = delete;

    std::int64_t pid() const { return m_pid; }
    // Its image name ("Orvalink.exe") as seen when it was opened; empty when unknown.
    QString imageName() const { return m_imageName; }

    // Blocks until the process has ended or timeoutMs passes (negative: no limit; 0 only looks).
    // NotFound when there was no process to hold, CouldNotOpen when it could not be opened.
    ProcessWaitResult wait(int timeoutMs) const;
    bool hasEnded() const
    {
        const ProcessWaitResult result = wait(0);
        return result == ProcessWaitResult::Exited || result == ProcessWaitResult::NotFound;
    }

private:
    std::int64_t m_pid;
    QString m_imageName;
    ProcessWaitResult m_openResult = ProcessWaitResult::NotFound;
    std::intptr_t m_handle = -1; // a pidfd, or a HANDLE on Windows, while held
    bool m_synchronize = true; // on Windows: opened with SYNCHRONIZE, so that it can be waited for
};

// Waits for whatever process has the id now (see HeldProcess::wait). Any thread.
inline ProcessWaitResult waitForProcessExit(std::int64_t pid, int timeoutMs)
{
    return HeldProcess(pid, processClockNow()).wait(timeoutMs);
}

} // namespace Updater::Platform
