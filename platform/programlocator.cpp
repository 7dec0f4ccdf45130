#include "platform/programlocator.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace Updater::Platform {

QString locateProgram(const QString &program)
{
#ifdef Q_OS_WIN
    return program;
#else
    if (program.isEmpty() || program.contains(QLatin1Char('/')))
        return program;

    if (QCoreApplication::instance()) {
        const QFileInfo beside(QDir(QCoreApplication::applicationDirPath()).filePath(program));
        if (beside.isFile() && beside.isExecutable())
            return beside.absoluteFilePath();
    }

    const QString inPath = QStandardPaths::findExecutable(program);
    return inPath.isEmpty() ? program : inPath;
#endif
}

} // namespace Updater::Platform
