#include "platform/programstart.h"

#include <QDir>
#include <QProcess>

#include <fcntl.h>
#include <unistd.h>

namespace Updater::Platform {

bool startProgramDetached(const QString &program, const QString &workingDir)
{
    // Qt opens its own descriptors close-on-exec, but not those the updater inherited; the
    // standard ones stay for the new process's own output.
    const QStringList descriptors =
        QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System);
    for (const QString &name : descriptors) {
        const int fd = name.toInt();
        const int flags = fd > 2 ? fcntl(fd, F_GETFD) : -1;
        if (flags >= 0)
            fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
    }
    return QProcess::startDetached(program, QStringList(), workingDir);
}

} // namespace Updater::Platform
