// The window's steps that bring a release into the staging directory: the manifest check and the
// package download with its digest check, each announced as a stage of its own, and the signed
// offline release. The transfers themselves live in source/.
#include "ui/updaterwindow.h"

#include "common/productnames.h"
#include "install/staginglayout.h"
#include "source/manifestfetch.h"
#include "source/offlinerelease.h"
#include "source/packagedownload.h"
#include "source/packagehash.h"
#include "source/releasekeys.h"

#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QLabel>
#include <QProgressBar>
#include <QThread>

#include <functional>
#include <memory>

namespace Updater {

namespace {

// Copying and hashing a large package take seconds; doing it on a helper thread keeps the window
// painting.
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
    // The bar runs from 10 to 70 over a download of announced size and stays at 10 otherwise.
    const auto showProgress = [this](qint64 written, qint64 announcedSize) {
        if (announcedSize > 0)
            progressBar->setValue(
                static_cast<int>(qMin(written, announcedSize) * 60 / announcedSize + 10));
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
