#include "workerharness.h"

#include "platform/processwait.h"
#include "worker/updateworker.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

namespace WorkerHarness {

RunResult runWorker(const Updater::UpdaterOptions &options, const Updater::UpdateManifest &manifest,
                    int timeoutMs, const std::function<void(int progressValue)> &atStage)
{
    RunResult result;
    QThread thread;
    // As the program holds it: opened before the run (the test's own child is younger).
    std::shared_ptr<const Updater::Platform::HeldProcess> client;
    if (options.waitPid > 0)
        client = std::make_shared<const Updater::Platform::HeldProcess>(
            options.waitPid, Updater::Platform::processClockNow());
    auto *worker = new Updater::UpdateWorker(options, manifest, client);
    worker->moveToThread(&thread);

    // The receiver lives on this thread, so the events arrive queued and in emission order.
    QObject receiver;
    bool done = false;
    QObject::connect(worker, &Updater::UpdateWorker::stageChanged, &receiver,
                     [&](const QString &text, int value) { result.events << stage(text, value); });
    QObject::connect(worker, &Updater::UpdateWorker::detailAppended, &receiver,
                     [&](const QString &text) { result.events << detail(text); });
    QObject::connect(worker, &Updater::UpdateWorker::finished, &receiver,
                     [&](bool success, const QString &text) {
                         result.events << finished(success, text);
                         done = true;
                     });
    QObject::connect(worker, &Updater::UpdateWorker::oldClientRestartable, &receiver,
                     [&] { result.events << QStringLiteral("restartable"); });
    if (atStage)
        QObject::connect(
            worker, &Updater::UpdateWorker::stageChanged, worker,
            [&atStage](const QString &, int value) { atStage(value); }, Qt::DirectConnection);
    QSignalSpy finishedSpy(worker, &Updater::UpdateWorker::finished);
    QObject::connect(&thread, &QThread::started, worker, &Updater::UpdateWorker::run);
    QObject::connect(&thread, &QThread::finished, worker, &QObject::deleteLater);

    QElapsedTimer timer;
    timer.start();
    thread.start();
    const QDeadlineTimer deadline(timeoutMs);
    while (!done && !deadline.hasExpired())
        QTest::qWait(10);
    result.elapsedMs = timer.elapsed();

    thread.quit();
    thread.wait();
    // The spy was filled on the worker's thread; that thread has ended now.
    result.finishedCount = static_cast<int>(finishedSpy.count());
    return result;
}

QString stage(const QString &text, int value)
{
    return QStringLiteral("stage %1 %2").arg(text, QString::number(value));
}

QString detail(const QString &text)
{
    return QStringLiteral("detail ") + text;
}

QString finished(bool success, const QString &text)
{
    return QStringLiteral("finished %1 %2").arg(success ? "true" : "false", text);
}

} // namespace WorkerHarness
