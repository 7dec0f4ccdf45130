#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <vector>

namespace Updater::Platform {

struct RunningProcess
{
    std::int64_t pid = 0;
    QString imageName; // the file name of its executable, such as "Core.exe"
};

// The running processes of one installed program: those whose image name is one of the given
// names (without regard to case) and whose executable lies inside the installation
// directory, so that a program of the same name elsewhere on the machine is never touched. Each
// is held open from the moment it is found, so that its id cannot pass to another process while
// it is held. Any thread; not copyable.
// Windows: Toolhelp32 for the names, QueryFullProcessImageNameW on the process handle for the
// place, both paths resolved by the file system (links, junctions, short names).
// Linux: /proc/PID/comm for the name and /proc/PID/exe for the place; for a script started by
// its own path the script counts as the executable. Held as pidfds.
class InstalledProcesses
{
public:
    InstalledProcesses();
    ~InstalledProcesses();
    InstalledProcesses(const InstalledProcesses &) = delete;
    InstalledProcesses &operator=(const InstalledProcesses &) = delete;

    // Replaces what is held by the processes found now. A process whose executable cannot be
    // read is left out: its place is unknown, and the updater could not end it either. False,
    // with one message in *error (may be null), when the running processes cannot be listed.
    bool find(const QString &installDir, const QStringList &imageNames, QString *error);

    QList<RunningProcess> processes() const;

    // Blocks until every process held has ended or timeoutMs (>= 0) has passed; returns those
    // that still run.
    QList<RunningProcess> waitForExit(int timeoutMs) const;

private:
    void release();

    struct Held;
    std::vector<Held> held;
};

// The image name of the process with the given id ("Orvalink.exe"); empty when no such process
// is seen. Any thread.
QString processImageName(std::int64_t pid);

} // namespace Updater::Platform
