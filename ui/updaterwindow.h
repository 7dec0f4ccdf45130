#pragma once

#include "common/updatemanifest.h"
#include "common/updateroptions.h"
#include "install/installationlock.h"
#include "ui/updatelog.h"

#include <QDialog>

#include <memory>

class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QThread;

namespace Updater {

class TransferCancellation;

namespace Platform {
class HeldProcess;
}

// The updater's only window: version, stage, progress bar and log of one update run, which it
// starts itself on the first pass of the event loop. Every line of its log also goes to the log
// file beside the installation once the installation's lock is held. GUI thread only.
class UpdaterWindow : public QDialog
{
    Q_OBJECT

public:
    // client: the process given to wait for, opened at start-up (null: none).
    explicit UpdaterWindow(const UpdaterOptions &options,
                           std::shared_ptr<const Platform::HeldProcess> client = nullptr,
                           QWidget *parent = nullptr);
    // Waits for a running installation to end, however long it takes, so that the process never
    // exits half way through exchanging the installation directory.
    ~UpdaterWindow() override;

    // Path of package.zip in the staging directory beside the installation directory.
    QString packageFilePath() const;

    // Every way of closing the window by hand (title bar, Escape, the system) ends here. Refused
    // while the worker installs: the process would live on unseen and could still end a client
    // started again meanwhile. Before the worker starts, closing cancels the run.
    void reject() override;

private slots:
    void onStageChanged(const QString &text, int progressValue);
    void onDetailAppended(const QString &text);
    void onWorkerFinished(bool success, const QString &errorOrVersion);

private:
    void startUpdate();
    void handleSuccess(const QString &version);
    // Shows the failure; starts the old client again when the update has stopped it and left
    // its installation wholly as it was, so that the user is not left without it.
    void handleFailure(const QString &error);
    // Starts the installed client in its own folder, as a shortcut would, and logs it.
    void startClient();
    // Online steps on the GUI thread; each waits for its reply in a local event loop.
    bool fetchManifest(QString *error);
    // The release into the staging directory: the new tree built by a differential update where
    // the manifest offers one that pays, else the package, downloaded and verified.
    bool downloadRelease(QString *error);
    bool downloadPackage(QString *error);
    // Builds the new tree from the installed files and the pieces a plan fetches; false with the
    // reason when the package must serve instead (a failure is remembered for the version).
    bool buildDeltaPayload(QString *reason);
    // Offline mode: with release keys built in, only a signed release, whose package is copied
    // into the staging directory and verified there (offlinePackageStaged is then set); without,
    // the payload folder as it is, taken as the product's version.
    bool stageOfflineRelease(QString *error);

    void reportStage(const QString &text, int progressValue);
    void appendLog(const QString &text);

    UpdaterOptions options;
    QLabel *stageLabel = nullptr;
    QLabel *versionLabel = nullptr;
    QProgressBar *progressBar = nullptr;
    QPlainTextEdit *logView = nullptr;
    QPushButton *closeButton = nullptr;
    UpdateManifest manifest;
    std::shared_ptr<const Platform::HeldProcess> client;
    QThread *workerThread = nullptr;
    bool workerDone = false;
    bool offlinePackageStaged = false;
    bool payloadBuilt = false; // a differential update built the new tree: nothing to unpack
    bool oldClientRestartable = false; // said by the worker as it failed
    // Cancelled once the window has been closed by any means: the transfer under way is aborted
    // and no installation may start.
    TransferCancellation *closing = nullptr;
    // Held from the start of the run until it has ended, so that no second updater works on the
    // same installation meanwhile.
    InstallationLock lock;
    UpdateLog updateLog;
};

} // namespace Updater
