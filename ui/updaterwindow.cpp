#include "ui/updaterwindow.h"

#include "common/productnames.h"
#include "source/transfercancellation.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

namespace Updater {

UpdaterWindow::UpdaterWindow(const UpdaterOptions &runOptions,
                             std::shared_ptr<const Platform::HeldProcess> heldClient,
                             QWidget *parent)
    : QDialog(parent)
    , options(runOptions)
    , client(std::move(heldClient))
{
    setWindowTitle(updaterTitle());
    setMinimumSize(560, 360);
    setModal(true);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 20, 20, 20);
    layout->setSpacing(12);

    auto *heading = new QLabel(QStringLiteral("Установка обновления"), this);
    heading->setStyleSheet(QStringLiteral("font-size: 20px; font-weight: 700;"));
    layout->addWidget(heading);

    versionLabel =
        new QLabel(QStringLiteral("Текущая версия: %1").arg(this->options.currentVersion), this);
    layout->addWidget(versionLabel);

    stageLabel = new QLabel(QStringLiteral("Подготовка..."), this);
    layout->addWidget(stageLabel);

    progressBar = new QProgressBar(this);
    progressBar->setRange(0, 100);
    progressBar->setValue(0);
    layout->addWidget(progressBar);

    logView = new QPlainTextEdit(this);
    logView->setReadOnly(true);
    layout->addWidget(logView, 1);

    auto *buttonRow = new QHBoxLayout();
    buttonRow->addStretch();
    closeButton = new QPushButton(QStringLiteral("Закрыть"), this);
    buttonRow->addWidget(closeButton);
    layout->addLayout(buttonRow, 0);

    closeButton->setEnabled(false);
    connect(closeButton, &QPushButton::clicked, this, &QWidget::close);
    // Every way of closing a dialog (title bar, Escape, the button, accept) ends in finished().
    closing = new TransferCancellation(this);
    connect(this, &QDialog::finished, closing, &TransferCancellation::cancel);

    QTimer::singleShot(0, this, &UpdaterWindow::startUpdate);
}

UpdaterWindow::~UpdaterWindow()
{
    if (workerThread) {
        workerThread->quit();
        // The worker cannot be cancelled and always returns; destroying its thread object while it
        // still runs would abort the process in the middle of the installation, so keep waiting.
        if (!workerThread->wait(5000))
            workerThread->wait();
    }
}

void UpdaterWindow::reject()
{
    if (workerThread && !workerDone)
        return;
    QDialog::reject();
}

void UpdaterWindow::reportStage(const QString &text, int progressValue)
{
    stageLabel->setText(text);
    appendLog(text);
    if (progressValue >= 0)
        progressBar->setValue(progressValue);
}

void UpdaterWindow::onStageChanged(const QString &text, int progressValue)
{
    reportStage(text, progressValue);
}

void UpdaterWindow::appendLog(const QString &text)
{
    logView->appendPlainText(text);
    updateLog.append(text);
}

void UpdaterWindow::onDetailAppended(const QString &text)
{
    appendLog(text);
}

void UpdaterWindow::onWorkerFinished(bool success, const QString &errorOrVersion)
{
    workerDone = true;
    workerThread->quit();
    workerThread->wait(3000);
    if (success)
        handleSuccess(errorOrVersion);
    else
        handleFailure(errorOrVersion);
}

} // namespace Updater
