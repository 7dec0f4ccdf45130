#include "worker/updateworker.h"

#include "install/filetree.h"
#include "install/preservedentries.h"
#include "install/stagedinstallation.h"
#include "install/staginglayout.h"
#include "platform/processwait.h"
#include "worker/safetodelete.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStorageInfo>

namespace Updater {

namespace {

// Less than this left on the volume after a failed unpacking: the package filled the disk.
constexpr qint64 fullDiskMargin = 1024 * 1024;

bool isDiskFull(const QString &path)
{
    const QStorageInfo volume(path);
    return volume.isValid() && volume.bytesAvailable() < fullDiskMargin;
}

} // namespace

UpdateWorker::UpdateWorker(const UpdaterOptions &workerOptions,
                           const UpdateManifest &workerManifest,
                           std::shared_ptr<const Platform::HeldProcess> heldClient)
    : QObject(nullptr)
    , options(workerOptions)
    , manifest(workerManifest)
    , client(std::move(heldClient))
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

    if (!options.isOfflineMode()) {
        emit stageChanged(QStringLiteral("Распаковка пакета"), 72);
        emit detailAppended(QStringLiteral("Распаковка пакета..."));
        if (!extractPackage(&error)) {
            // A package that filled the disk (too large, or a zip bomb) must not keep it full
            // until some later update.
            if (isDiskFull(StagingLayout(options.installDir).updateDir()))
                removePath(StagingLayout(options.installDir).updateDir());
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
    } else {
        removePath(layout.updateDir());
    }
    // An offline payload copied beside the installation, and the staging directory if that copy
    // was all it held.
    removePath(layout.offlinePayloadCopy());
    QDir().rmdir(layout.updateDir());

    removePath(layout.backupDir());
    // Entries that could not be put back into the installation stay there for the next
    // installation to recover.
    removePreserveDirIfEmpty(layout.preserveDir());
}

} // namespace Updater
