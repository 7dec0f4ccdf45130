#include "platform/programlocator.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStringList>

namespace Updater::Platform {

namespace {

QString executableIn(const QString &dir, const QString &program)
{
    const QFileInfo candidate(QDir(dir).filePath(program));
    return candidate.isFile() && candidate.isExecutable() ? candidate.absoluteFilePath()
                                                          : QString();
}

} // namespace

QString locateProgram(const QString &program)
{
    if (program.isEmpty() || program.contains(QLatin1Char('/')))
        return QString();

    QStringList directories;
    if (QCoreApplication::instance())
        directories << QCoreApplication::applicationDirPath();
    const QStringList pathEntries = qEnvironmentVariable("PATH").split(QLatin1Char(':'));
    for (const QString &entry : pathEntries) {
        if (QDir::isAbsolutePath(entry))
            directories << entry;
    }

    for (const QString &dir : std::as_const(directories)) {
        const QString found = executableIn(dir, program);
        if (!found.isEmpty())
            return found;
    }
    return QString();
}

} // namespace Updater::Platform
