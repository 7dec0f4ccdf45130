#pragma once

#include <QList>
#include <QObject>
#include <QStringList>

class QDialog;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

// Watches the updater window from the outside, through its widgets: records every value the
// progress bar takes and reads the labels, the log and the close button. The labels are found by
// their order of construction (heading, version, stage). GUI thread.
class WindowProbe : public QObject
{
    Q_OBJECT

public:
    explicit WindowProbe(QDialog *window);

    QList<int> barValues() const { return values; }
    int bar() const;
    QString versionText() const;
    QString stageText() const;
    QStringList logLines() const;
    bool closeEnabled() const;
    // Whether the window has created a thread for the worker.
    bool hasWorkerThread() const;

private:
    QDialog *window;
    QLabel *versionLabel = nullptr;
    QLabel *stageLabel = nullptr;
    QProgressBar *progressBar = nullptr;
    QPlainTextEdit *logView = nullptr;
    QPushButton *closeButton = nullptr;
    QList<int> values;
};
