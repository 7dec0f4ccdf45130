#pragma once

// Shared by the installation tests: building trees, taking a byte-for-byte picture of them, and
// provoking real file-system faults that root cannot provoke with permissions.

#include <QByteArray>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QStringList>

#include <unistd.h>

namespace TreeTest {

inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

inline bool makeLink(const QString &target, const QString &link)
{
    return ::symlink(QFile::encodeName(target).constData(), QFile::encodeName(link).constData()) == 0;
}

inline QByteArray linkText(const QString &path)
{
    char buffer[4096];
    const ssize_t length = ::readlink(QFile::encodeName(path).constData(), buffer, sizeof buffer);
    return length < 0 ? QByteArray() : QByteArray(buffer, static_cast<int>(length));
}

// Relative path -> "dir", "link:<target as written>" or "file:<bytes>", hidden entries included,
// links never followed. A missing root gives an empty picture.
inline QMap<QString, QByteArray> snapshot(const QString &root)
{
    QMap<QString, QByteArray> picture;
    const QDir base(root);
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info(path);
        QByteArray value;
        if (info.isSymLink())
            value = "link:" + linkText(path);
        else if (info.isDir())
            value = "dir";
        else
            value = "file:" + readFile(path);
        picture.insert(base.relativeFilePath(path), value);
    }
    return picture;
}

// The picture of the named top-level entries only.
inline QMap<QString, QByteArray> snapshotOf(const QString &root, const QStringList &names)
{
    QMap<QString, QByteArray> picture;
    const QMap<QString, QByteArray> all = snapshot(root);
    for (auto it = all.cbegin(); it != all.cend(); ++it) {
        if (names.contains(it.key().section(QLatin1Char('/'), 0, 0)))
            picture.insert(it.key(), it.value());
    }
    return picture;
}

// Real faults, always undone (in reverse order) when the object goes, even after a failed check.
// Declare it after the QTemporaryDir it works in, so it is undone before the directory goes.
class Faults
{
public:
    ~Faults()
    {
        for (auto it = m_undo.crbegin(); it != m_undo.crend(); ++it)
            QProcess::execute(it->first, it->second);
    }
    // mount --bind path path: the directory can no longer be renamed (EBUSY), and renames into or
    // out of it cross a mount (EXDEV), as on another volume.
    bool bindMount(const QString &path)
    {
        return run(QStringLiteral("mount"), {QStringLiteral("--bind"), path, path},
                   QStringLiteral("umount"), {path});
    }
    // chattr +i: the entry can be neither changed, renamed nor deleted; in a directory nothing
    // can be created, renamed or deleted.
    bool makeImmutable(const QString &path)
    {
        return run(QStringLiteral("chattr"), {QStringLiteral("+i"), path},
                   QStringLiteral("chattr"), {QStringLiteral("-i"), path});
    }
    // A small file system of its own on path: writes beyond `size` fail with ENOSPC.
    bool mountTmpfs(const QString &path, const QString &size)
    {
        QDir().mkpath(path);
        return run(QStringLiteral("mount"),
                   {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                    QStringLiteral("size=") + size, QStringLiteral("tmpfs"), path},
                   QStringLiteral("umount"), {path});
    }

private:
    bool run(const QString &program, const QStringList &arguments, const QString &undoProgram,
             const QStringList &undoArguments)
    {
        QProcess process;
        process.start(program, arguments);
        if (!process.waitForFinished() || process.exitStatus() != QProcess::NormalExit
            || process.exitCode() != 0)
            return false;
        m_undo.append({undoProgram, undoArguments});
        return true;
    }

    QList<QPair<QString, QStringList>> m_undo;
};

} // namespace TreeTest
