// The window's two online steps: the manifest check and the package download with its digest
// check, each announced as a stage of its own. The transfers themselves live in source/.
#include "ui/updaterwindow.h"

#include "install/staginglayout.h"
#include "source/manifestfetch.h"
#include "source/packagedownload.h"
#include "source/packagehash.h"

#include <QEventLoop>
#include <QLabel>
#include <QProgressBar>
#include <QThread>

#include <memory>

namespace Updater {

QString UpdaterWindow::packageFilePath() const
{
    return StagingLayout(options.installDir).packageFile();
}

bool UpdaterWindow::fetchManifest(QString *error)
{
    reportStage(QStringLiteral("Проверка manifest"), 5);
    if (!fetchUpdateManifest(options.manifestUrl, closing, &manifest, error))
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
    if (!Updater::downloadPackage(manifest.packageUrl, packagePath, showProgress, closing, error))
        return false;

    // Hashing a large package takes seconds; doing it on a helper thread keeps the window painting.
    bool verified = false;
    QString verifyError;
    const QString expectedHash = manifest.packageHash;
    const std::unique_ptr<QThread> hasher(QThread::create(
        [&] { verified = verifyPackageHash(packagePath, expectedHash, &verifyError); }));
    QEventLoop loop;
    connect(hasher.get(), &QThread::finished, &loop, &QEventLoop::quit);
    hasher->start();
    loop.exec(QEventLoop::AllEvents);
    // The loop ends early when the application quits; the hasher still uses our locals.
    hasher->wait();

    if (!verified && error)
        *error = verifyError;
    return verified;
}

} // namespace Updater
