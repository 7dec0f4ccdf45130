#include "worker/processrunner.h"

#include "platform/consoletext.h"
#include "platform/programlocator.h"

#include <QObject>
#include <QProcess>

namespace Updater {

namespace {

constexpr int startTimeoutMs = 30000;

} // namespace

bool runProcess(const QString &program, const QStringList &arguments, QString *error)
{
    if (error)
        error->clear();

    // A program that was not found is never handed to QProcess by its bare name: on Unix it
    // would then run whatever file of that name lies in the working directory.
    const QString located = Platform::locateProgram(program);
    QProcess process;
    if (!located.isEmpty()) {
        process.setProgram(located);
        process.setArguments(arguments);
        process.start(QIODevice::ReadWrite);
    }
    if (located.isEmpty() || !process.waitForStarted(startTimeoutMs)) {
        if (error)
            *error = QObject::tr("Failed to start %1").arg(program);
        return false;
    }

    process.closeWriteChannel();
    process.waitForFinished(-1);

    if (process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
        return true;

    if (error) {
        const QString standardError = Platform::decodeConsoleOutput(process.readAllStandardError());
        if (!standardError.trimmed().isEmpty()) {
            *error = standardError;
        } else {
            const QString standardOutput =
                Platform::decodeConsoleOutput(process.readAllStandardOutput());
            if (!standardOutput.trimmed().isEmpty())
                *error = standardOutput;
            else
                *error = QObject::tr("%1 exited with code %2")
                             .arg(program, QString::number(process.exitCode()));
        }
    }
    return false;
}

} // namespace Updater
