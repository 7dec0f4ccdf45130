#pragma once

#include <QString>
#include <QStringList>

namespace E2e {

// Mounts made for one test (a small tmpfs standing for a full disk, a directory bound onto itself
// so that it cannot be renamed), undone in reverse order on destruction even when the test
// fails, so that QTemporaryDir can remove its tree. Needs root; test thread only.
class MountGuard
{
public:
    MountGuard() = default;
    ~MountGuard();

    MountGuard(const MountGuard &) = delete;
    MountGuard &operator=(const MountGuard &) = delete;

    // False with the mount command's message when mounting is not possible here.
    bool mountTmpfs(const QString &dir, qint64 sizeBytes, QString *error);
    bool bindOntoItself(const QString &dir, QString *error);
    void unmountAll();

private:
    QStringList m_mountPoints;
};

} // namespace E2e
