#include "app/updatercopy.h"

#include "install/filetree.h"
#include "install/installationdirectory.h"
#include "install/staginglayout.h"
#include "platform/hiddenentries.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

namespace Updater {

bool handOverToCopyOutside(const QString &installDir, const QStringList &arguments)
{
    const QString program = QCoreApplication::applicationFilePath();
    if (!isSameOrInside(comparablePath(program), comparablePath(installDir)))
        return false;
    const StagingLayout layout(installDir);
    const QString copyDir = layout.updaterCopyDir();
    const QString copy = QDir(copyDir).filePath(QFileInfo(program).fileName());
    // A copy that an earlier run left behind runs no more, unless that update still shows its
    // window: Windows then refuses to replace its image, and this run stays where it is. The
    // program alone suffices: the updater needs no file beside it.
    if (!removePath(copyDir) || !QDir().mkpath(copyDir) || !QFile::copy(program, copy))
        return false;
    Platform::hideEntry(layout.updateDir());
    QProcess copyProcess;
    copyProcess.setProgram(copy);
    copyProcess.setArguments(arguments.mid(1));
    copyProcess.setWorkingDirectory(QDir::currentPath());
#ifndef Q_OS_WIN
    // The copy outlives this process, and whoever reads this process's output stops at its end:
    // a write into that closed pipe would end the copy. (On Windows a redirection would make the
    // copy inherit this process's handles, and a GUI program's output goes nowhere anyway.)
    copyProcess.setStandardOutputFile(QProcess::nullDevice());
    copyProcess.setStandardErrorFile(QProcess::nullDevice());
#endif
    return copyProcess.startDetached();
}

} // namespace Updater
