#include "platform/processwait.h"

#include "platform/runningprocesses.h"

#include <QDir>
#include <QFileInfo>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace Updater::Platform {

namespace {

ProcessStartTime fromFileTime(const FILETIME &time)
{
    return (static_cast<ProcessStartTime>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// 0 when the system does not tell.
ProcessStartTime startTimeOf(HANDLE process)
{
    FILETIME creation{}, exit{}, kernel{}, user{};
    return GetProcessTimes(process, &creation, &exit, &kernel, &user) ? fromFileTime(creation) : 0;
}

bool hasExitCode(HANDLE process)
{
    DWORD code = 0;
    return GetExitCodeProcess(process, &code) && code != STILL_ACTIVE;
}

QString imageNameOf(HANDLE process)
{
    wchar_t buffer[MAX_PATH * 2];
    DWORD size = MAX_PATH * 2;
    if (!QueryFullProcessImageNameW(process, 0, buffer, &size))
        return QString();
    return QFileInfo(QDir::fromNativeSeparators(QString::fromWCharArray(buffer, int(size))))
        .fileName();
}

} // namespace

ProcessStartTime processClockNow()
{
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return fromFileTime(now);
}

ProcessStartTime thisProcessStartTime()
{
    static const ProcessStartTime start = startTimeOf(GetCurrentProcess());
    return start;
}

HeldProcess::HeldProcess(std::int64_t pid, ProcessStartTime startedBy)
    : m_pid(pid)
{
    const DWORD processId = static_cast<DWORD>(static_cast<std::uint64_t>(pid) & 0xFFFFFFFFu);
    if (processId == 0)
        return;
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (!process && GetLastError() == ERROR_ACCESS_DENIED) {
        m_synchronize = false;
        process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    }
    if (!process) {
        // OpenProcess answers ERROR_INVALID_PARAMETER for an id no process has; anything else
        // (access denied above all) leaves a process that may still run.
        if (GetLastError() != ERROR_INVALID_PARAMETER) {
            m_openResult = ProcessWaitResult::CouldNotOpen;
            m_imageName = processImageName(pid);
        }
        return;
    }
    if (!hasExitCode(process) && startTimeOf(process) > startedBy) {
        CloseHandle(process);
        return;
    }
    m_imageName = imageNameOf(process);
    m_handle = reinterpret_cast<std::intptr_t>(process);
    m_openResult = ProcessWaitResult::Exited;
}

HeldProcess::~HeldProcess()
{
    if (m_handle != -1)
        CloseHandle(reinterpret_cast<HANDLE>(m_handle));
}

ProcessWaitResult HeldProcess::wait(int timeoutMs) const
{
    if (m_handle == -1)
        return m_openResult;
    const auto process = reinterpret_cast<HANDLE>(m_handle);
    bool ended = false;
    if (m_synchronize) {
        const DWORD result =
            WaitForSingleObject(process, timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
        ended = result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
    } else {
        // Without SYNCHRONIZE only its exit code tells.
        const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeoutMs);
        while (!(ended = hasExitCode(process)) && (timeoutMs < 0 || GetTickCount64() < deadline))
            Sleep(100);
    }
    return ended ? ProcessWaitResult::Exited : ProcessWaitResult::TimedOutOrFailed;
}

} // namespace Updater::Platform
