#include "platform/runningprocesses.h"

#include "platform/pidfd_linux.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
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

// Empty, with errno set, when the link cannot be read.
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

bool isScript(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && file.read(2) == "#!";
}

// The file the process runs when it lies inside (which ends with '/'): its executable, or, for a
// script started by its own path, the script. The kernel then runs the interpreter with the
// script's path as the argument after the interpreter's own optional one; a relative path is
// taken from the process's current directory. Empty otherwise, with *denied set when the
// executable may not be read (another user's process).
QString programFileInside(pid_t pid, const QString &inside, bool *denied)
{
    errno = 0;
    const QString executable = readProcLink(pid, "exe");
    *denied = executable.isEmpty() && errno == EACCES;
    if (executable.isEmpty() || executable.startsWith(inside))
        return executable;

    const QList<QByteArray> arguments = readProcFile(pid, "cmdline").split('\0');
    for (qsizetype i = 1; i <= 2 && i < arguments.size(); ++i) {
        const QString argument = QFile::decodeName(arguments.at(i));
        if (argument.isEmpty())
            continue;
        const QString script = QFileInfo(QDir::isAbsolutePath(argument)
                                             ? argument
                                             : QDir(readProcLink(pid, "cwd")).filePath(argument))
                                   .canonicalFilePath();
        if (script.startsWith(inside) && isScript(script))
            return script;
    }
    return QString();
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
    m_unreachable.clear();
}

bool InstalledProcesses::isRunningImage(const QString &file)
{
    const int fd = ::open(QFile::encodeName(file).constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0)
        close(fd);
    return fd < 0 && errno == ETXTBSY;
}

bool InstalledProcesses::find(const QString &installDir, QString *error)
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

    // Processes whose executable the updater may not see, by their names.
    QMap<QString, QList<RunningProcess>> unseen;
    const pid_t self = getpid();
    while (const dirent *entry = readdir(proc)) {
        bool numeric = false;
        const auto pid = static_cast<pid_t>(QByteArray(entry->d_name).toInt(&numeric));
        if (!numeric || pid <= 0 || pid == self)
            continue;
        const int pidfd = openPidfd(pid);
        if (pidfd < 0)
            continue;
        bool denied = false;
        const QString file = programFileInside(pid, inside, &denied);
        // The process may have ended, and its id passed on, while its files were read; what the
        // pidfd holds has not if it is still running now.
        const bool ended = waitForPidfd(pidfd, 0);
        if (file.isEmpty() || ended) {
            if (denied && !ended) {
                const QString comm = QString::fromUtf8(readProcFile(pid, "comm").trimmed());
                unseen[comm.toLower()] << RunningProcess{pid, comm};
            }
            close(pidfd);
            continue;
        }
        const RunningProcess process{pid, QFileInfo(file).fileName()};
        if (kill(pid, 0) != 0) {
            m_unreachable << process;
            close(pidfd);
            continue;
        }
        held.push_back({process, pidfd});
    }
    closedir(proc);

    for (const QString &name : namesInUse(installDir, unseen.keys(), commLength))
        m_unreachable += unseen.value(name);
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
