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

// The running processes of one installation: every process whose executable lies inside the
// installation directory, whatever its name, and only those, so that a program of the same name
// elsewhere on the machine is never touched. Each is held open from the moment it is found, so
// that its id cannot pass to another process while it is held. Any thread; not copyable.
// Windows: Toolhelp32 for the list, QueryFullProcessImageNameW on the process handle for the
// place, both paths resolved by the file system (links, junctions, short names).
// Linux: /proc/PID/exe for the place; for a script started by its own path ("#!") the script
// counts as the executable. Held as pidfds.
class InstalledProcesses
{
public:
    InstalledProcesses();
    ~InstalledProcesses();
    InstalledProcesses(const InstalledProcesses &) = delete;
    InstalledProcesses &operator=(const InstalledProcesses &) = delete;

    // Replaces what is held by the processes found now. False, with one message in *error (may
    // be null), when the running processes cannot be listed.
    bool find(const QString &installDir, QString *error);

    // Those held, which the updater may end.
    QList<RunningProcess> processes() const;
    // Those it may not end: held ones it has no right to end (an elevated process, another
    // user's), and ones it cannot even open (another session's) whose image name is that of a
    // program of the installation that is still in use as one.
    QList<RunningProcess> unreachable() const { return m_unreachable; }

    // Blocks until every process held has ended or timeoutMs (>= 0) has passed; returns those
    // that still run.
    QList<RunningProcess> waitForExit(int timeoutMs) const;

private:
    void release();
    // Of the given image names (lower case, cut to nameLength characters where the system keeps
    // no more), those of a file of the installation that is still in use as a program.
    static QStringList namesInUse(const QString &installDir, const QStringList &names,
                                  qsizetype nameLength);
    // Whether the system refuses to open the program file for writing because it runs.
    static bool isRunningImage(const QString &file);

    struct Held;
    std::vector<Held> held;
    QList<RunningProcess> m_unreachable;
};

// The image name of the process with the given id ("Orvalink.exe"); empty when no such process
// is seen. Any thread.
QString processImageName(std::int64_t pid);

} // namespace Updater::Platform
