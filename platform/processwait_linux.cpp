#include "platform/processwait.h"

#include "platform/pidfd_linux.h"
#include "platform/runningprocesses.h"

#include <QByteArray>
#include <QFile>
#include <QList>

#include <cerrno>
#include <csignal>
#include <ctime>
#include <unistd.h>

namespace Updater::Platform {

namespace {

// Field 22 of /proc/PID/stat, in clock ticks since boot; 0 when it cannot be read. The name
// before it is in parentheses and may hold spaces and parentheses itself.
ProcessStartTime startTimeOf(const QString &pid)
{
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray stat = file.readAll();
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 19 ? fields.at(19).toULongLong() : 0;
}

} // namespace

ProcessStartTime processClockNow()
{
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    const auto ticks = static_cast<ProcessStartTime>(sysconf(_SC_CLK_TCK));
    return static_cast<ProcessStartTime>(now.tv_sec) * ticks
           + static_cast<ProcessStartTime>(now.tv_nsec) * ticks / 1000000000u;
}

ProcessStartTime thisProcessStartTime()
{
    static const ProcessStartTime start = startTimeOf(QStringLiteral("self"));
    return start;
}

HeldProcess::HeldProcess(std::int64_t pid, ProcessStartTime startedBy)
    : m_pid(pid)
{
    const auto processId = static_cast<pid_t>(static_cast<std::uint32_t>(pid));
    if (processId <= 0)
        return;
    // pidfd_open asks for no rights at all; kill(pid, 0) tells whether the updater could end the
    // process, as OpenProcess on Windows tells whether it may wait for it.
    if (kill(processId, 0) != 0) {
        if (errno != ESRCH) {
            m_openResult = ProcessWaitResult::CouldNotOpen;
            m_imageName = processImageName(pid);
        }
        return;
    }
    const int fd = openPidfd(processId);
    if (fd < 0) {
        m_openResult =
            errno == ESRCH ? ProcessWaitResult::NotFound : ProcessWaitResult::CouldNotOpen;
        return;
    }
    // Read after the pidfd is open: while the process it holds still runs, the id is its own.
    const ProcessStartTime start = startTimeOf(QString::number(processId));
    m_imageName = processImageName(pid);
    if (!waitForPidfd(fd, 0) && start > startedBy) {
        close(fd);
        m_imageName.clear();
        return;
    }
    m_handle = fd;
    m_openResult = ProcessWaitResult::Exited;
}

HeldProcess::~HeldProcess()
{
    if (m_handle >= 0)
        close(static_cast<int>(m_handle));
}

ProcessWaitResult HeldProcess::wait(int timeoutMs) const
{
    if (m_handle < 0)
        return m_openResult;
    return waitForPidfd(static_cast<int>(m_handle), timeoutMs)
               ? ProcessWaitResult::Exited
               : ProcessWaitResult::TimedOutOrFailed;
}

} // namespace Updater::Platform
