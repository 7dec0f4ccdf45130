// The window's steps that bring a release into the staging directory: the manifest check, the
// release's download (a differential update's pieces and the tree built from them, or the
// package with its digest check), each announced as a stage of its own, and the signed offline
// release. The transfers, the differential update's plan and its tree live in source/.
#include "ui/updaterwindow.h"

#include "common/failure.h"
#include "common/productnames.h"
#include "install/filetree.h"
#include "install/staginglayout.h"
#include "source/deltaplan.h"
#include "source/deltatree.h"
#include "source/filewrites.h"
#include "source/manifestfetch.h"
#include "source/offlinerelease.h"
#include "source/packagedownload.h"
#include "source/packagehash.h"
#include "source/rangedownload.h"
#include "source/releasekeys.h"
#include "source/transfercancellation.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QThread>

#include <functional>
#include <memory>

namespace Updater {

namespace {

// Copying and hashing a large package, or building a tree, take seconds; doing it on a helper
// thread keeps the window painting.
void runBesideWindow(const std::function<void()> &work)
{
    const std::unique_ptr<QThread> helper(QThread::create(work));
    QEventLoop loop;
    QObject::connect(helper.get(), &QThread::finished, &loop, &QEventLoop::quit);
    helper->start();
    loop.exec(QEventLoop::AllEvents);
    // The loop ends early when the application quits; the helper still uses the caller's locals.
    helper->wait();
}

// The digest over the whole staged package decides; a package that fails it is no part of the
// right one, and a later attempt must not resume it.
bool verifyStagedPackage(const QString &packagePath, const QString &expectedHash, QString *error)
{
    if (verifyPackageHash(packagePath, expectedHash, error))
        return true;
    discardPackage(packagePath);
    QDir().rmdir(QFileInfo(packagePath).path());
    return false;
}

// A differential update that failed for a version is not tried again for it: its pieces would
// fail again, and each try costs the user the bytes. The record lives in the staging directory,
// which a successful update removes.
bool deltaFailedBefore(const StagingLayout &layout, const QString &version)
{
    QFile record(layout.deltaFailuresFile());
    return record.open(QIODevice::ReadOnly)
           && QString::fromUtf8(record.read(64 * 1024)).split(QLatin1Char('\n')).contains(version);
}

void rememberDeltaFailure(const StagingLayout &layout, const QString &version)
{
    QDir().mkpath(layout.updateDir());
    QFile record(layout.deltaFailuresFile());
    if (record.open(QIODevice::WriteOnly | QIODevice::Append))
        record.write(version.toUtf8() + '\n');
}

// The bar runs from 10 to 70 over a download of known size.
void showDownloadProgress(QProgressBar *bar, qint64 done, qint64 total)
{
    if (total > 0)
        bar->setValue(static_cast<int>(qMin(done, total) * 60 / total + 10));
}

} // namespace

QString UpdaterWindow::packageFilePath() const
{
    return StagingLayout(options.installDir).packageFile();
}

bool UpdaterWindow::fetchManifest(QString *error)
{
    reportStage(QStringLiteral("Проверка manifest"), 5);
    if (!fetchUpdateManifest(options.manifestUrl, options.currentVersion, closing, &manifest,
                             error))
        return false;
    versionLabel->setText(QStringLiteral("%1 -> %2").arg(options.currentVersion, manifest.version));
    return true;
}

bool UpdaterWindow::downloadPackage(QString *error)
{
    reportStage(QStringLiteral("Загрузка пакета"), 10);

    const QString packagePath = packageFilePath();
    // The bar stays at 10 through a download of unknown size.
    const auto showProgress = [this](qint64 written, qint64 announcedSize) {
        showDownloadProgress(progressBar, written, announcedSize);
    };
    if (!Updater::downloadPackage(manifest.packageUrl, packagePath, manifest.packageSize,
                                  showProgress, closing, error))
        return false;

    bool verified = false;
    QString verifyError;
    const QString expectedHash = manifest.packageHash;
    runBesideWindow(
        [&] { verified = verifyStagedPackage(packagePath, expectedHash, &verifyError); });
    if (!verified && error)
        *error = verifyError;
    return verified;
}

bool UpdaterWindow::downloadRelease(QString *error)
{
    if (manifest.delta.isEmpty()) {
        if (!manifest.deltaRefusal.isEmpty())
            logView->appendPlainText(QStringLiteral("The manifest's differential update is not "
                                                    "taken: %1")
                                         .arg(manifest.deltaRefusal));
        return downloadPackage(error);
    }
    QString reason;
    if (buildDeltaPayload(&reason)) {
        payloadBuilt = true;
        return true;
    }
    if (closing->isCancelled())
        return fail(error, reason);
    logView->appendPlainText(QStringLiteral("Downloading the full package: %1").arg(reason));
    return downloadPackage(error);
}

bool UpdaterWindow::buildDeltaPayload(QString *reason)
{
    const StagingLayout layout(options.installDir);
    if (deltaFailedBefore(layout, manifest.version))
        return fail(
            reason,
            QStringLiteral("the differential update of %1 failed before").arg(manifest.version));
    reportStage(QStringLiteral("Загрузка обновления"), 10);

    InstalledContents installed;
    const QSet<qint64> sizes = plannedSizes(manifest.delta);
    runBesideWindow([&] { installed = hashInstalledFiles(options.installDir, sizes); });
    const DeltaPlan plan = planDelta(manifest.delta, installed, manifest.packageSize);
    if (!plan.fullPackageReason.isEmpty())
        return fail(reason, QStringLiteral("a differential update %1").arg(plan.fullPackageReason));
    logView->appendPlainText(QStringLiteral("Differential update: %1 of %2")
                                 .arg(plan.transferBytes)
                                 .arg(manifest.packageSize));

    // Pieces and tree start from nothing; removePath takes a leftover link as a link.
    const QString piecesDir = layout.deltaDir();
    const QString treeDir = layout.extractedDir();
    removePath(piecesDir);
    removePath(treeDir);
    QStringList pieces;
    bool built = false;
    if (!QDir().mkpath(piecesDir) || !QDir().mkpath(treeDir))
        fail(reason, QStringLiteral("cannot make %1").arg(QDir::toNativeSeparators(treeDir)));
    else if (checkFreeSpace(piecesDir, plan.transferBytes + plan.treeBytes, reason)
             && downloadTransfers(
                 plan.transfers, piecesDir,
                 [this](qint64 received, qint64 total) {
                     showDownloadProgress(progressBar, received, total);
                 },
                 closing, &pieces, reason))
        runBesideWindow(
            [&] { built = buildDeltaTree(manifest.delta, plan, pieces, treeDir, reason); });
    removePath(piecesDir);
    if (built)
        return true;
    removePath(treeDir);
    if (!closing->isCancelled())
        rememberDeltaFailure(layout, manifest.version);
    return false;
}

bool UpdaterWindow::stageOfflineRelease(QString *error)
{
    // Without release keys the client's folder is the payload, as it always was.
    const QStringList keys = releasePublicKeys();
    if (keys.isEmpty()) {
        manifest.version = offlineReleaseVersion();
        manifest.channel = options.channel;
        return true;
    }
    offlinePackageStaged = true;

    // The folder stays the client's (and the user's) to change while the update runs: everything
    // is checked on what the updater holds itself, the signed manifest in memory and the package
    // copied into the staging directory.
    UpdateManifest release;
    QString packageSource;
    if (!readOfflineRelease(options.offlinePayloadRoot, keys, options.currentVersion, &release,
                            &packageSource, error))
        return false;
    const QString packagePath = packageFilePath();
    bool staged = false;
    QString stageError;
    runBesideWindow([&] {
        staged = copyPackage(packageSource, packagePath, release.packageSize, &stageError)
                 && verifyStagedPackage(packagePath, release.packageHash, &stageError);
    });
    if (!staged) {
        if (error)
            *error = stageError;
        return false;
    }
    manifest = release;
    return true;
}

} // namespace Updater
