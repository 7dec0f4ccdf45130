#include "windowprobe.h"

#include <QDialog>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>

WindowProbe::WindowProbe(QDialog *observed)
    : window(observed)
{
    const QList<QLabel *> labels = window->findChildren<QLabel *>(Qt::FindDirectChildrenOnly);
    versionLabel = labels.value(1);
    stageLabel = labels.value(2);
    progressBar = window->findChild<QProgressBar *>();
    logView = window->findChild<QPlainTextEdit *>();
    closeButton = window->findChild<QPushButton *>();
    connect(progressBar, &QProgressBar::valueChanged, this,
            [this](int value) { values.append(value); });
}

int WindowProbe::bar() const
{
    return progressBar->value();
}

QString WindowProbe::versionText() const
{
    return versionLabel->text();
}

QString WindowProbe::stageText() const
{
    return stageLabel->text();
}

QStringList WindowProbe::logLines() const
{
    const QString text = logView->toPlainText();
    return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
}

bool WindowProbe::closeEnabled() const
{
    return closeButton->isEnabled();
}

bool WindowProbe::hasWorkerThread() const
{
    return window->findChild<QThread *>() != nullptr;
}
