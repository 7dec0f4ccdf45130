#include "mountguard.h"

#include "e2eharness.h"

#include <QDir>

namespace E2e {

MountGuard::~MountGuard()
{
    unmountAll();
}

bool MountGuard::mountTmpfs(const QString &dir, qint64 sizeBytes, QString *error)
{
    QDir().mkpath(dir);
    QString output;
    if (!runCommand(QStringLiteral("mount"),
                    {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                     QStringLiteral("size=%1").arg(sizeBytes), QStringLiteral("tmpfs"), dir},
                    &output)) {
        *error = output.trimmed();
        return false;
    }
    m_mountPoints.append(dir);
    return true;
}

bool MountGuard::bindOntoItself(const QString &dir, QString *error)
{
    QString output;
    if (!runCommand(QStringLiteral("mount"), {QStringLiteral("--bind"), dir, dir}, &output)) {
        *error = output.trimmed();
        return false;
    }
    m_mountPoints.append(dir);
    return true;
}

void MountGuard::unmountAll()
{
    while (!m_mountPoints.isEmpty()) {
        const QString dir = m_mountPoints.takeLast();
        // A process that still works in the tree keeps it busy; detach it then.
        if (!runCommand(QStringLiteral("umount"), {dir}))
            runCommand(QStringLiteral("umount"), {QStringLiteral("-l"), dir});
    }
}

} // namespace E2e
