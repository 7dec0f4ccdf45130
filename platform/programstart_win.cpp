#include "platform/programstart.h"

#include <QProcess>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace Updater::Platform {

bool startProgramDetached(const QString &program, const QString &workingDir)
{
    QProcess process;
    process.setProgram(program);
    process.setWorkingDirectory(workingDir);
    // Qt lets a detached process inherit every inheritable handle.
    process.setCreateProcessArgumentsModifier(
        [](QProcess::CreateProcessArguments *arguments) { arguments->inheritHandles = FALSE; });
    return process.startDetached();
}

} // namespace Updater::Platform
