#pragma once

#include <QString>
#include <QStringList>

namespace TestSupport {

// Real file-system faults that root cannot provoke with permissions, undone in reverse order on
// destruction even when the test fails. Declare it after the QTemporaryDir it works in, so it is
// undone before the directory goes. Needs root; test thread only. Each returns false, with the
// command's message in *error when given, when the fault cannot be made here.
class FileSystemFaults
{
public:
    FileSystemFaults() = default;
    ~FileSystemFaults();

    FileSystemFaults(const FileSystemFaults &) = delete;
    FileSystemFaults &operator=(const FileSystemFaults &) = delete;

    // mount --bind dir dir: the directory can no longer be renamed (EBUSY, as a locked directory
    // on Windows), and renames into or out of it cross a mount (EXDEV, as another volume).
    bool bindOntoItself(const QString &dir, QString *error = nullptr);
    // mount --bind dir alias: the same directory under another path, as a junction or a
    // substituted drive on Windows.
    bool bindMount(const QString &dir, const QString &alias, QString *error = nullptr);
    // chattr +i: the entry can be neither changed, renamed nor deleted; in a directory nothing
    // can be created, renamed or deleted.
    bool makeImmutable(const QString &path, QString *error = nullptr);
    // A small file system of its own on dir (size as mount takes it: bytes, or "1M"): writes
    // beyond it fail with ENOSPC.
    bool mountTmpfs(const QString &dir, const QString &size, QString *error = nullptr);

    void undoAll();

private:
    bool apply(const QStringList &command, const QStringList &undo, QString *error);

    QList<QStringList> m_undo;
};

} // namespace TestSupport
