#include "platform/runningprocesses.h"

#include "platform/pidfd_linux.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <chrono>
#include <dirent.h>
#include <unistd.h>

namespace Updater::Platform {

struct InstalledProcesses::Held
{
    RunningProcess process;
    int pidfd = -1;
};

namespace {

// The kernel keeps only this many characters of a program's name in comm.
constexpr qsizetype commLength = 15;

QString procPath(pid_t pid, const char *entry)
{
    return QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(entry));
}

QByteArray readProcFile(pid_t pid, const char *entry)
{
    QFile file(procPath(pid, entry));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString readProcLink(pid_t pid, const char *entry)
{
    QByteArray buffer(4096, Qt::Uninitialized);
    const ssize_t length = ::readlink(QFile::encodeName(procPath(pid, entry)).constData(),
                                      buffer.data(), static_cast<size_t>(buffer.size()));
    if (length <= 0 || length >= buffer.size())
        return QString();
    buffer.truncate(static_cast<qsizetype>(length));
    // The executable of a running program may have been deleted or replaced since it started.
    const QByteArray deleted = " (deleted)";
    if (buffer.endsWith(deleted))
        buffer.chop(deleted.size());
    return QFile::decodeName(buffer);
}

bool isImageName(const QString &name, const QStringList &imageNames)
{
    return imageNames.contains(name, Qt::CaseInsensitive);
}

// The file the process runs: its executable, or, for a script started by its own path, the
// script. The kernel then runs the interpreter with the script's path as the argument after the
// interpreter's own optional one; a relative path is taken from the process's current directory.
QString programFile(pid_t pid, const QStringList &imageNames)
{
    const QString executable = readProcLink(pid, "exe");
    if (!executable.isEmpty() && isImageName(QFileInfo(executable).fileName(), imageNames))
        return executable;

    const QList<QByteArray> arguments = readProcFile(pid, "cmdline").split('\0');
    for (qsizetype i = 1; i <= 2 && i < arguments.size(); ++i) {
        const QString argument = QFile::decodeName(arguments.at(i));
        if (!isImageName(QFileInfo(argument).fileName(), imageNames))
            continue;
        const QString script = QDir::isAbsolutePath(argument)
                                   ? argument
                                   : QDir(readProcLink(pid, "cwd")).filePath(argument);
        return QFileInfo(script).canonicalFilePath();
    }
    return QString();
}

bool mayBeNamed(const QString &comm, const QStringList &imageNames)
{
    for (const QString &name : imageNames) {
        if (comm.compare(name.left(commLength), Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

} // namespace

InstalledProcesses::InstalledProcesses() = default;

InstalledProcesses::~InstalledProcesses()
{
    release();
}

void InstalledProcesses::release()
{
    for (const Held &entry : held)
        close(entry.pidfd);
    held.clear();
}

bool InstalledProcesses::find(const QString &installDir, const QStringList &imageNames,
                              QString *error)
{
    release();
    DIR *proc = opendir("/proc");
    if (!proc) {
        if (error)
            *error = QStringLiteral("Could not list the running processes.");
        return false;
    }

    const QFileInfo dirInfo(installDir);
    QString inside = dirInfo.canonicalFilePath();
    if (inside.isEmpty())
        inside = QDir::cleanPath(dirInfo.absoluteFilePath());
    if (!inside.endsWith(QLatin1Char('/')))
        inside += QLatin1Char('/');

    const pid_t self = getpid();
    while (const dirent *entry = readdir(proc)) {
        bool numeric = false;
        const auto pid = static_cast<pid_t>(QByteArray(entry->d_name).toInt(&numeric));
        if (!numeric || pid <= 0 || pid == self)
            continue;
        if (!mayBeNamed(QString::fromUtf8(readProcFile(pid, "comm").trimmed()), imageNames))
            continue;
        const int pidfd = openPidfd(pid);
        if (pidfd < 0)
            continue;
        const QString file = programFile(pid, imageNames);
        // The process may have ended, and its id passed on, while its files were read; what the
        // pidfd holds has not if it is still running now.
        if (file.isEmpty() || !file.startsWith(inside) || waitForPidfd(pidfd, 0)) {
            close(pidfd);
            continue;
        }
        held.push_back({{pid, QFileInfo(file).fileName()}, pidfd});
    }
    closedir(proc);
    return true;
}

QList<RunningProcess> InstalledProcesses::processes() const
{
    QList<RunningProcess> list;
    for (const Held &entry : held)
        list << entry.process;
    return list;
}

QList<RunningProcess> InstalledProcesses::waitForExit(int timeoutMs) const
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    QList<RunningProcess> running;
    for (const Held &entry : held) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (!waitForPidfd(entry.pidfd, left.count() > 0 ? static_cast<int>(left.count()) : 0))
            running << entry.process;
    }
    return running;
}

QString processImageName(std::int64_t pid)
{
    const auto processId = static_cast<pid_t>(static_cast<std::uint32_t>(pid));
    if (processId <= 0)
        return QString();
    return QString::fromUtf8(readProcFile(processId, "comm").trimmed());
}

} // namespace Updater::Platform
