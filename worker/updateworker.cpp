#include "worker/updateworker.h"

#include "install/filetree.h"
#include "install/preservedentries.h"
#include "install/stagedinstallation.h"
#include "install/staginglayout.h"
#include "worker/safetodelete.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace Updater {

UpdateWorker::UpdateWorker(const UpdaterOptions &workerOptions,
                           const UpdateManifest &workerManifest)
    : QObject(nullptr)
    , options(workerOptions)
    , manifest(workerManifest)
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
            emit finished(false, error);
            return;
        }
    }

    if (!preparePayload(&error)) {
        emit finished(false, error);
        return;
    }

    emit stageChanged(QStringLiteral("Применение обновления"), 80);
    emit detailAppended(QStringLiteral("Завершение процессов..."));
    if (!stopAppAndInstall(&error)) {
        emit finished(false, error);
        return;
    }

    emit stageChanged(QStringLiteral("Очистка"), 95);
    emit detailAppended(QStringLiteral("Удаление временных файлов..."));
    removeWorkingDirectories();

    emit finished(true, manifest.version);
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
