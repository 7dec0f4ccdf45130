#pragma once

#include "common/updatemanifest.h"
#include "common/updateroptions.h"

#include <QObject>

#include <memory>

namespace Updater {

namespace Platform {
class HeldProcess;
}

// Carries out the second half of an update on its own thread: unpacks the package (online mode),
// stops the client, installs the payload and removes the working directories. Every run ends
// with exactly one finished() signal. Lives on the worker thread; run() blocks it.
// After a failure, the installation counts as the old one when it holds the same entries as
// before the installation began, each of the same kind, every file with the same contents: the
// installation layer needs to promise nothing beyond putting back what it changed.
class UpdateWorker : public QObject
{
    Q_OBJECT

public:
    // client: the process given to wait for, held since start-up (null: none).
    // offlinePackageStaged: in offline mode the release's package was copied into the staging
    // directory and verified there (a build that installs only signed releases), so it is
    // unpacked as an online one is instead of installing the offline folder itself.
    UpdateWorker(const UpdaterOptions &workerOptions, const UpdateManifest &workerManifest,
                 std::shared_ptr<const Platform::HeldProcess> client = nullptr,
                 bool offlinePackageStaged = false);
    ~UpdateWorker() override;

    // .orvalink-update/extracted beside the installation directory.
    QString extractedDirPath() const;

    // The new tree is built in extractedDirPath() already (a differential update): run() installs
    // it as it stands instead of unpacking the package. Call before run().
    void useBuiltPayload() { payloadBuilt = true; }

signals:
    void stageChanged(const QString &text, int progressValue);
    void detailAppended(const QString &text);
    void finished(bool success, const QString &errorOrVersion);
    // Just before finished(false, ...) when the client no longer runs because of this update (the
    // client waited for has ended, or the run ended the installation's processes) and the
    // installation is wholly the old one: the old client is to be started again.
    void oldClientRestartable();

public slots:
    void run();

private:
    // Each returns false with exactly one message in *error.
    // Unpacks the downloaded package into extractedDirPath() with extractPackageFile (which takes
    // any package and destination); a package that did not fit on the disk goes, with what was
    // unpacked of it.
    bool extractPackage(QString *error);
    bool stopAppAndInstall(QString *error);
    bool waitForClient(QString *error) const;
    bool endInstalledProcesses(QString *error);
    // Picks the payload root of the mode and makes sure it can be installed before anything of
    // the installation or the client is touched; copies an offline payload that lies on another
    // volume beside the installation first, so that it can go into place by rename.
    bool preparePayload(QString *error);
    void removeWorkingDirectories();
    // The payload is the offline folder as the client handed it over.
    bool installsOfflineFolder() const { return !packageStaged; }
    // Ends the run with a failure, and says whether the old client is to be started again.
    void fail(const QString &error);

    UpdaterOptions options;
    UpdateManifest manifest;
    std::shared_ptr<const Platform::HeldProcess> client;
    bool packageStaged; // online mode, or an offline release copied into the staging directory
    bool payloadBuilt = false;
    // Chosen by preparePayload: what the installation puts in place.
    QString payloadRoot;
    bool endedProcesses = false;      // the run has asked processes of the installation to end
    bool installationChanged = false; // a failed installation left it other than it was
};

} // namespace Updater
