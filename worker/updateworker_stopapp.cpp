#include "worker/updateworker.h"

#include "install/stagedinstallation.h"
#include "platform/downloadmark.h"
#include "platform/entrywalk.h"
#include "platform/fileentries.h"
#include "platform/fileholders.h"
#include "platform/processwait.h"
#include "platform/runningprocesses.h"
#include "worker/processrunner.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QMap>
#include <QThread>

namespace Updater {

namespace {

constexpr int clientExitTimeoutMs = 60000;
// How long the processes asked to close, and then those ended by force, may take to be gone.
constexpr int closeTimeoutMs = 5000;
constexpr int endedProcessesTimeoutMs = 5000;
// Gives the system time to release the files of the processes taskkill has just ended.
constexpr unsigned long afterTaskkillPauseMs = 1200;

QString describeProcess(std::int64_t pid, const QString &imageName)
{
    return imageName.isEmpty() ? QString::number(pid)
                               : QStringLiteral("%1 (%2)").arg(QString::number(pid), imageName);
}

QString stillRunning(const QList<Platform::RunningProcess> &processes)
{
    QStringList lines;
    for (const Platform::RunningProcess &process : processes)
        lines << UpdateWorker::tr("%1 (pid %2) is still running from the installation.")
                     .arg(process.imageName, QString::number(process.pid));
    return lines.join(QLatin1Char('\n'));
}

// Asks taskkill to end the processes: gently (it posts WM_CLOSE, so that the client can remove
// the system proxy and the routes it set), or by force. What taskkill reports does not matter;
// whether the processes are gone does.
void taskkill(const QList<Platform::RunningProcess> &processes, bool force)
{
    QStringList arguments;
    if (force)
        arguments << QStringLiteral("/F");
    for (const Platform::RunningProcess &process : processes)
        arguments << QStringLiteral("/PID") << QString::number(process.pid);
    QString ignored;
    runProcess(QStringLiteral("taskkill"), arguments, &ignored);
}

// Finds the processes of the installation; false, naming them, when any of them is beyond the
// updater's reach: nothing may be asked to close before it is known that all of it can be ended.
bool findEndable(Platform::InstalledProcesses *running, const QString &installDir, QString *error)
{
    if (!running->find(installDir, error))
        return false;
    if (running->unreachable().isEmpty())
        return true;
    *error = stillRunning(running->unreachable());
    return false;
}

// Every entry of the tree by its relative path: its kind, a file's size and digest, a link's
// target. Not the times: a rollback may have copied entries back, across a volume, as they were.
QMap<QString, QByteArray> entryStates(const QString &dir)
{
    QMap<QString, QByteArray> states;
    const QDir root(dir);
    Platform::walkEntries(dir, [&](const QFileInfo &entry) {
        const Platform::EntryKind kind = Platform::entryKind(entry.filePath());
        QByteArray state = QByteArray::number(int(kind));
        if (kind == Platform::EntryKind::Link)
            state += ' ' + entry.symLinkTarget().toUtf8();
        QFile file(entry.filePath());
        QCryptographicHash digest(QCryptographicHash::Blake2b_256);
        if (kind == Platform::EntryKind::File && file.open(QIODevice::ReadOnly)
            && digest.addData(&file))
            state += ' ' + QByteArray::number(file.size()) + ' ' + digest.result();
        states.insert(root.relativeFilePath(entry.filePath()), state);
        return true;
    });
    return states;
}

} // namespace

bool UpdateWorker::waitForClient(QString *error) const
{
    switch (client->wait(clientExitTimeoutMs)) {
    case Platform::ProcessWaitResult::Exited:
    case Platform::ProcessWaitResult::NotFound:
        return true;
    case Platform::ProcessWaitResult::TimedOutOrFailed:
        *error = tr("Timed out waiting for the app to close.");
        return false;
    case Platform::ProcessWaitResult::CouldNotOpen:
        // Another user's client, or an elevated one that grants not even the limited query.
        *error = tr("Could not wait for the app to close: the updater may not open process %1.")
                     .arg(describeProcess(client->pid(), client->imageName()));
        return false;
    }
    return false;
}

// Ends every process that runs from the installation directory, and only those: a program of
// the same name elsewhere belongs to someone else. First asks them to close and waits, then ends
// what remains, and whatever was started meanwhile, by force. True once they are all gone.
bool UpdateWorker::endInstalledProcesses(QString *error)
{
    Platform::InstalledProcesses running;
    if (!findEndable(&running, options.installDir, error))
        return false;
    if (running.processes().isEmpty())
        return true;
    endedProcesses = true;
    taskkill(running.processes(), false);
    running.waitForExit(closeTimeoutMs);

    if (!findEndable(&running, options.installDir, error))
        return false;
    if (running.processes().isEmpty())
        return true;
    taskkill(running.processes(), true);
    const QList<Platform::RunningProcess> survivors = running.waitForExit(endedProcessesTimeoutMs);
    if (survivors.isEmpty())
        return true;
    *error = stillRunning(survivors);
    return false;
}

bool UpdateWorker::stopAppAndInstall(QString *error)
{
    if (client && !waitForClient(error))
        return false;
    // Nothing of the installation may change while a process of it still runs.
    if (!endInstalledProcesses(error))
        return false;
    QThread::msleep(afterTaskkillPauseMs);

    const QMap<QString, QByteArray> before = entryStates(options.installDir);
    emit stageChanged(QStringLiteral("Копирование файлов"), 85);
    emit detailAppended(QStringLiteral("Копирование файлов..."));

    QStringList notes;
    const bool installed = installStagedPayload(payloadRoot, options.installDir, error, &notes);
    for (const QString &note : std::as_const(notes))
        emit detailAppended(note);
    if (installed) {
        Platform::removeDownloadMarks(options.installDir);
        return true;
    }
    installationChanged = entryStates(options.installDir) != before;
    // A rename that kept failing names no culprit; the system may know who holds the files.
    const QStringList holders = Platform::programsHoldingFiles(options.installDir);
    if (!holders.isEmpty())
        emit detailAppended(QStringLiteral("Files of the installation are in use by %1")
                                .arg(holders.join(QStringLiteral(", "))));
    return false;
}

} // namespace Updater
