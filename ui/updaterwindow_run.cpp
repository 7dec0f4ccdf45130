#include "ui/updaterwindow.h"

#include "common/productnames.h"
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
    if (options.isOfflineMode()) {
        manifest.version = offlineReleaseVersion();
        manifest.channel = options.channel;
        versionLabel->setText(
            QStringLiteral("%1 -> %2").arg(options.currentVersion, manifest.version));
        reportStage(QStringLiteral("Подготовка локального пакета"), 72);
    } else {
        const bool ready = fetchManifest(&error) && downloadPackage(&error);
        // A window closed while a step waited has aborted the transfer; nothing may be installed
        // after the user has gone, and there is no one left to show an error to.
        if (closing->isCancelled())
            return;
        if (!ready) {
            handleFailure(error);
            return;
        }
    }

    reportStage(QStringLiteral("Установка обновления..."), 75);

    workerThread = new QThread(this);
    auto *worker = new UpdateWorker(options, manifest);
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

    const QString clientPath = QDir(options.installDir).filePath(clientExecutableName());
    logView->appendPlainText(QStringLiteral("Запуск %1").arg(clientPath));
    // A client that fails to start is not reported: the update itself has succeeded.
    QProcess::startDetached(clientPath, QStringList(), QString(), nullptr);

    QTimer::singleShot(1200, this, &QDialog::accept);
}

void UpdaterWindow::handleFailure(const QString &error)
{
    reportStage(QStringLiteral("Ошибка обновления"), -1);
    logView->appendPlainText(error);
    closeButton->setEnabled(true);
}

} // namespace Updater
