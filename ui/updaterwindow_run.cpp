#include "ui/updaterwindow.h"

#include "common/productnames.h"
#include "install/installationdirectory.h"
#include "install/staginglayout.h"
#include "platform/processwait.h"
#include "platform/programstart.h"
#include "source/transfercancellation.h"
#include "worker/updateworker.h"

#include <QDir>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QThread>
#include <QTimer>

namespace Updater {

void UpdaterWindow::startUpdate()
{
    // Closed before the first pass of the event loop reached us: the user declined the update.
    if (closing->isCancelled())
        return;

    QString error;
    // Before anything is written: the installation named as it will be worked on, one that may
    // be updated at all, and no other updater at work on it.
    options.installDir = normalizedInstallDir(options.installDir);
    if (!checkInstallDir(options.installDir, &error) || !lock.acquire(options.installDir, &error)) {
        handleFailure(error);
        return;
    }
    updateLog.start(StagingLayout(options.installDir).logFile());

    bool ready = false;
    if (options.isOfflineMode()) {
        reportStage(QStringLiteral("Подготовка локального пакета"), 72);
        ready = stageOfflineRelease(&error);
        if (ready)
            versionLabel->setText(
                QStringLiteral("%1 -> %2").arg(options.currentVersion, manifest.version));
    } else {
        ready = fetchManifest(&error) && downloadRelease(&error);
    }
    // A window closed while a step waited has aborted the transfer; nothing may be installed
    // after the user has gone, and there is no one left to show an error to.
    if (closing->isCancelled())
        return;
    if (!ready) {
        handleFailure(error);
        return;
    }

    reportStage(QStringLiteral("Установка обновления..."), 75);

    workerThread = new QThread(this);
    auto *worker = new UpdateWorker(options, manifest, client, offlinePackageStaged);
    if (payloadBuilt)
        worker->useBuiltPayload();
    worker->moveToThread(workerThread);

    connect(workerThread, &QThread::started, worker, &UpdateWorker::run);
    connect(worker, &UpdateWorker::stageChanged, this, &UpdaterWindow::onStageChanged);
    connect(worker, &UpdateWorker::detailAppended, this, &UpdaterWindow::onDetailAppended);
    connect(worker, &UpdateWorker::finished, this, &UpdaterWindow::onWorkerFinished);
    connect(worker, &UpdateWorker::oldClientRestartable, this,
            [this] { oldClientRestartable = true; });
    connect(workerThread, &QThread::finished, worker, &QObject::deleteLater);

    workerThread->start(QThread::InheritPriority);
}

void UpdaterWindow::handleSuccess(const QString &version)
{
    reportStage(QStringLiteral("Обновление установлено"), 100);
    versionLabel->setText(QStringLiteral("%1 -> %2").arg(options.currentVersion, version));
    closeButton->setEnabled(true);
    // The update itself has succeeded whatever happens here.
    startClient();
    lock.release();
    QTimer::singleShot(1200, this, &QDialog::accept);
}

void UpdaterWindow::handleFailure(const QString &error)
{
    reportStage(QStringLiteral("Ошибка обновления"), -1);
    appendLog(error);
    // The client no longer runs because of this update and its installation is wholly the old
    // one: the user must not be left without it (nor, with the system proxy it set, without the
    // internet). Before the worker nothing of the installation has changed, and the client given
    // to wait for usually exits as it starts the updater. Without the lock, the installation is
    // not this updater's to start.
    if (workerThread ? oldClientRestartable : lock.isHeld() && client && client->hasEnded())
        startClient();
    lock.release();
    closeButton->setEnabled(true);
}

void UpdaterWindow::startClient()
{
    const QString clientPath =
        QDir::toNativeSeparators(QDir(options.installDir).filePath(clientExecutableName()));
    appendLog(QStringLiteral("Запуск %1").arg(clientPath));
    // Without the updater's handles: a client that held the lock file would keep it for hours.
    // One that does not start must not go unseen.
    if (!Platform::startProgramDetached(clientPath, options.installDir))
        appendLog(QStringLiteral("Could not start %1").arg(clientPath));
}

} // namespace Updater
