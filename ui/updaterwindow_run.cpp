#include "ui/updaterwindow.h"

#include "common/productnames.h"
#include "install/installationdirectory.h"
#include "source/transfercancellation.h"
#include "worker/updateworker.h"

#include <QDir>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProcess>
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
    auto *worker = new UpdateWorker(options, manifest, offlinePackageStaged);
    if (payloadBuilt)
        worker->useBuiltPayload();
    worker->moveToThread(workerThread);

    connect(workerThread, &QThread::started, worker, &UpdateWorker::run);
    connect(worker, &UpdateWorker::stageChanged, this, &UpdaterWindow::onStageChanged);
    connect(worker, &UpdateWorker::detailAppended, this, &UpdaterWindow::onDetailAppended);
    connect(worker, &UpdateWorker::finished, this, &UpdaterWindow::onWorkerFinished);
    connect(workerThread, &QThread::finished, worker, &QObject::deleteLater);

    workerThread->start(QThread::InheritPriority);
}

void UpdaterWindow::handleSuccess(const QString &version)
{
    reportStage(QStringLiteral("Обновление установлено"), 100);
    versionLabel->setText(QStringLiteral("%1 -> %2").arg(options.currentVersion, version));
    closeButton->setEnabled(true);

    lock.release();

    const QString clientPath = QDir(options.installDir).filePath(clientExecutableName());
    logView->appendPlainText(QStringLiteral("Запуск %1").arg(QDir::toNativeSeparators(clientPath)));
    // The client starts in its own folder, as a shortcut would start it. The update itself has
    // succeeded whatever happens here, but a client that does not start must not go unseen.
    if (!QProcess::startDetached(clientPath, QStringList(), options.installDir, nullptr))
        logView->appendPlainText(
            QStringLiteral("Could not start %1").arg(QDir::toNativeSeparators(clientPath)));

    QTimer::singleShot(1200, this, &QDialog::accept);
}

void UpdaterWindow::handleFailure(const QString &error)
{
    lock.release();
    reportStage(QStringLiteral("Ошибка обновления"), -1);
    logView->appendPlainText(error);
    closeButton->setEnabled(true);
}

} // namespace Updater
