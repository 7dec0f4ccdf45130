#include "worker/updateworker.h"

#include "common/productnames.h"
#include "install/stagedinstallation.h"
#include "platform/processwait.h"
#include "platform/runningprocesses.h"
#include "worker/processrunner.h"

#include <QThread>

namespace Updater {

namespace {

constexpr int clientExitTimeoutMs = 60000;
// How long the processes taskkill has ended may take to be gone.
constexpr int endedProcessesTimeoutMs = 5000;
// Gives the system time to release the files of the processes taskkill has just ended.
constexpr unsigned long afterTaskkillPauseMs = 1200;

QString describeProcess(std::int64_t pid, const QString &imageName)
{
    return imageName.isEmpty() ? QString::number(pid)
                               : QStringLiteral("%1 (%2)").arg(QString::number(pid), imageName);
}

bool waitForClient(std::int64_t pid, QString *error)
{
    switch (Platform::waitForProcessExit(pid, clientExitTimeoutMs)) {
    case Platform::ProcessWaitResult::Exited:
    case Platform::ProcessWaitResult::NotFound:
        return true;
    case Platform::ProcessWaitResult::TimedOutOrFailed:
        if (error)
            *error = UpdateWorker::tr("Timed out waiting for the app to close.");
        return false;
    case Platform::ProcessWaitResult::CouldNotOpen:
        // An elevated client of a non-elevated updater: it may well still run and hold its files.
        if (error)
            *error = UpdateWorker::tr("Could not wait for the app to close: the updater may not "
                                      "open process %1.")
                         .arg(describeProcess(pid, Platform::processImageName(pid)));
        return false;
    }
    return false;
}

// Ends the client's processes that run from the installation directory, and only those: a
// program of the same name elsewhere belongs to someone else. True once they are all gone.
bool endClientProcesses(const QString &installDir, QString *error)
{
    Platform::InstalledProcesses clients;
    if (!clients.find(installDir, clientImageNames(), error))
        return false;
    const QList<Platform::RunningProcess> found = clients.processes();
    if (found.isEmpty())
        return true;

    QStringList arguments{QStringLiteral("/F")};
    for (const Platform::RunningProcess &process : found)
        arguments << QStringLiteral("/PID") << QString::number(process.pid);
    // What taskkill reports does not matter; whether the processes are gone does.
    QString ignored;
    runProcess(QStringLiteral("taskkill"), arguments, &ignored);

    const QList<Platform::RunningProcess> survivors = clients.waitForExit(endedProcessesTimeoutMs);
    if (survivors.isEmpty())
        return true;
    QStringList names;
    for (const Platform::RunningProcess &process : survivors)
        names << describeProcess(process.pid, process.imageName);
    if (error)
        *error = names.size() == 1
                     ? UpdateWorker::tr("Could not end the app's process %1.").arg(names.first())
                     : UpdateWorker::tr("Could not end the app's processes %1.")
                           .arg(names.join(QStringLiteral(", ")));
    return false;
}

} // namespace

bool UpdateWorker::stopAppAndInstall(QString *error)
{
    if (options.waitPid > 0 && !waitForClient(options.waitPid, error))
        return false;
    // Nothing of the installation may change while a process of it still runs.
    if (!endClientProcesses(options.installDir, error))
        return false;
    QThread::msleep(afterTaskkillPauseMs);

    emit stageChanged(QStringLiteral("Копирование файлов"), 85);
    emit detailAppended(QStringLiteral("Копирование файлов..."));

    QStringList notes;
    const bool installed = installStagedPayload(payloadRoot, options.installDir, error, &notes);
    for (const QString &note : std::as_const(notes))
        emit detailAppended(note);
    return installed;
}

} // namespace Updater
