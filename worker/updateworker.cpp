#include "worker/updateworker.h"

#include "common/productnames.h"
#include "install/filetree.h"
#include "install/stagedinstallation.h"
#include "install/staginglayout.h"
#include "platform/entrypermissions.h"
#include "platform/processwait.h"
#include "worker/safetodelete.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace Updater {

namespace {

// Entries moved in from a folder of the user's carry that folder's permissions on Windows, which
// let the user change the program. They get what the installation passes down, the installation
// directory (on the exchange path the payload's own folder) what its parent passes down; the
// user's entries keep theirs. False when the system refused any of it.
bool inheritInstallationPermissions(const QString &installDir)
{
    using Platform::ExplicitPermissions;
    bool complete = Platform::resetToInherited(installDir, ExplicitPermissions::Keep);
    const QStringList preserved = preservedEntryNames();
    const QFileInfoList entries = listEntries(installDir, EntryScope::AllEntries);
    for (const QFileInfo &entry : entries) {
        // As Windows compares names.
        if (!preserved.contains(entry.fileName(), Qt::CaseInsensitive))
            complete =
                Platform::resetToInherited(entry.filePath(), ExplicitPermissions::Drop) && complete;
    }
    return complete;
}

} // namespace

UpdateWorker::UpdateWorker(const UpdaterOptions &workerOptions,
                           const UpdateManifest &workerManifest,
                           std::shared_ptr<const Platform::HeldProcess> heldClient,
                           bool offlinePackageStaged)
    : QObject(nullptr)
    , options(workerOptions)
    , manifest(workerManifest)
    , client(std::move(heldClient))
    , packageStaged(offlinePackageStaged || !workerOptions.isOfflineMode())
{
}

UpdateWorker::~UpdateWorker() = default;

QString UpdateWorker::extractedDirPath() const
{
    return StagingLayout(options.installDir).extractedDir();
}

void UpdateWorker::run()
{
    QString error;

    if (!installsOfflineFolder() && !payloadBuilt) {
        emit stageChanged(QStringLiteral("Распаковка пакета"), 72);
        emit detailAppended(QStringLiteral("Распаковка пакета..."));
        if (!extractPackage(&error)) {
            fail(error);
            return;
        }
    }

    if (!preparePayload(&error)) {
        fail(error);
        return;
    }

    emit stageChanged(QStringLiteral("Применение обновления"), 80);
    emit detailAppended(QStringLiteral("Завершение процессов..."));
    if (!stopAppAndInstall(&error)) {
        fail(error);
        return;
    }

    if (options.isOfflineMode() && !inheritInstallationPermissions(options.installDir))
        emit detailAppended(QStringLiteral("Could not reset the permissions of %1")
                                .arg(QDir::toNativeSeparators(options.installDir)));

    emit stageChanged(QStringLiteral("Очистка"), 95);
    emit detailAppended(QStringLiteral("Удаление временных файлов..."));
    removeWorkingDirectories();

    emit finished(true, manifest.version);
}

void UpdateWorker::fail(const QString &error)
{
    // A client that still runs, or an installation that is no longer what it was, is not the
    // updater's to start.
    if (!installationChanged && (endedProcesses || (client && client->hasEnded())))
        emit oldClientRestartable();
    emit finished(false, error);
}

void UpdateWorker::removeWorkingDirectories()
{
    // removePath deletes a link as a link: a working directory replaced by a link must not take
    // what it points at with it.
    const StagingLayout layout(options.installDir);
    // The copy of the updater that runs instead of one inside the installation: on Windows this
    // very process's image, which cannot be deleted but can be renamed, so it waits in the stale
    // directory for the next run.
    discardEntry(layout.updaterCopyDir(), layout.staleDir());

    if (options.isOfflineMode()) {
        // The client is meant to put the payload into a directory of its own, but a payload
        // placed straight into the home folder, a drive root or beside the installation must
        // not take that directory with it: then only the payload itself goes.
        const QString clientPayload = options.offlinePayloadRoot;
        const QString containingDir = QFileInfo(clientPayload).dir().absolutePath();
        const QString updaterDir = QCoreApplication::applicationDirPath();
        if (isSafeToDeleteWholly(containingDir, options.installDir, updaterDir))
            removePath(containingDir);
        else if (isSafeToDeleteWholly(clientPayload, options.installDir, updaterDir))
            removePath(clientPayload);
    }
    if (!installsOfflineFolder())
        removePath(layout.updateDir());
    // An offline payload copied beside the installation, and the staging directory if that copy
    // was all it held.
    removePath(layout.offlinePayloadCopy());
    QDir().rmdir(layout.updateDir());

    // The installation's own backup only: another installation of the folder keeps its own.
    removePath(layout.backupDir());
}

} // namespace Updater
