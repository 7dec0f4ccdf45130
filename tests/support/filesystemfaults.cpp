#include "filesystemfaults.h"

#include "testfiles.h"

#include <QDir>

namespace TestSupport {

FileSystemFaults::~FileSystemFaults()
{
    undoAll();
}

bool FileSystemFaults::bindOntoItself(const QString &dir, QString *error)
{
    return bindMount(dir, dir, error);
}

bool FileSystemFaults::bindMount(const QString &dir, const QString &alias, QString *error)
{
    QDir().mkpath(alias);
    return apply({QStringLiteral("mount"), QStringLiteral("--bind"), dir, alias},
                 {QStringLiteral("umount"), alias}, error);
}

bool FileSystemFaults::makeImmutable(const QString &path, QString *error)
{
    return apply({QStringLiteral("chattr"), QStringLiteral("+i"), path},
                 {QStringLiteral("chattr"), QStringLiteral("-i"), path}, error);
}

bool FileSystemFaults::mountTmpfs(const QString &dir, const QString &size, QString *error)
{
    QDir().mkpath(dir);
    return apply({QStringLiteral("mount"), QStringLiteral("-t"), QStringLiteral("tmpfs"),
                  QStringLiteral("-o"), QStringLiteral("size=") + size, QStringLiteral("tmpfs"),
                  dir},
                 {QStringLiteral("umount"), dir}, error);
}

void FileSystemFaults::undoAll()
{
    while (!m_undo.isEmpty()) {
        const QStringList undo = m_undo.takeLast();
        // A process that still works in a mounted tree keeps it busy; detach it then.
        if (!runCommand(undo.first(), undo.mid(1)) && undo.first() == QLatin1String("umount"))
            runCommand(QStringLiteral("umount"), {QStringLiteral("-l"), undo.last()});
    }
}

bool FileSystemFaults::apply(const QStringList &command, const QStringList &undo, QString *error)
{
    QString output;
    if (!runCommand(command.first(), command.mid(1), &output)) {
        if (error)
            *error = output.trimmed();
        return false;
    }
    m_undo.append(undo);
    return true;
}

} // namespace TestSupport
