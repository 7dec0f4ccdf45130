#include "ui/updaterwindow.h"

#include "install/staginglayout.h"
#include "source/httprequest.h"
#include "source/packagehash.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProgressBar>
#include <QThread>

#include <memory>

namespace Updater {

namespace {

// How much of the package the reply may hold before the network waits for the disk. Without a
// bound Qt buffers as fast as the socket delivers, which on a fast link is most of the package.
constexpr qint64 replyBufferSize = 2 * 1024 * 1024;

// QFile reports a short write (the disk filled up part way) as a success of fewer bytes; only
// writing the rest brings out the reason.
bool writeFully(QFile *file, const char *data, qint64 size)
{
    while (size > 0) {
        const qint64 written = file->write(data, size);
        if (written <= 0)
            return false;
        data += written;
        size -= written;
    }
    return true;
}

} // namespace

QString UpdaterWindow::packageFilePath() const
{
    return StagingLayout(options.installDir).packageFile();
}

bool UpdaterWindow::downloadPackage(QString *error)
{
    reportStage(QStringLiteral("Загрузка пакета"), 10);

    const QString packagePath = packageFilePath();
    QDir().mkpath(StagingLayout(options.installDir).updateDir());
    QFile::remove(packagePath);

    QFile file(packagePath);
    // Unbuffered: the chunks are large already, an extra copy through QFile's buffer gains nothing.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        if (error)
            *error = QStringLiteral("Failed to create package file: %1").arg(file.errorString());
        return false;
    }

    const auto network = std::make_unique<QNetworkAccessManager>();
    QNetworkReply *reply = network->get(updateRequest(manifest.packageUrl));
    reply->setReadBufferSize(replyBufferSize);

    // The bar follows the bytes read against the announced size. Qt's downloadProgress is throttled
    // to one report per 100 ms, so the bytes that arrive just before the transfer stalls would go
    // unshown, and at the end of a download of unknown size it reports the size after all, which
    // would move a bar that should stay where the download began.
    qint64 announcedSize = -1;
    qint64 received = 0;
    const auto showProgress = [this, reply, &announcedSize, &received](qint64 count) {
        if (announcedSize < 0) {
            const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
            announcedSize = length.isValid() ? length.toLongLong() : 0;
        }
        received += count;
        if (announcedSize > 0)
            progressBar->setValue(static_cast<int>(qMin(received, announcedSize) * 60 / announcedSize + 10));
    };

    // One reusable block instead of a fresh QByteArray per readAll().
    QByteArray block(replyBufferSize, Qt::Uninitialized);
    // A failed write (a full disk, typically) would otherwise surface only as a digest mismatch
    // after the whole package had been fetched; stop at once and say what went wrong.
    QString writeError;
    const auto drainToFile = [&file, &block, reply, &showProgress, &writeError] {
        // An aborted reply is closed and has nothing left to give.
        if (!reply->isOpen())
            return;
        for (;;) {
            const qint64 count = reply->read(block.data(), block.size());
            if (count <= 0)
                break;
            if (!writeFully(&file, block.constData(), count)) {
                writeError = file.errorString();
                reply->abort();
                return;
            }
            showProgress(count);
        }
    };
    connect(reply, &QNetworkReply::readyRead, this, drainToFile);

    awaitReply(reply, this);
    // The handlers capture locals of this call; the reply outlives it until deleteLater runs.
    disconnect(reply, nullptr, this, nullptr);

    drainToFile();
    file.close();

    const QNetworkReply::NetworkError code = reply->error();
    const QString replyError = reply->errorString();
    reply->deleteLater();

    if (!writeError.isEmpty() || code != QNetworkReply::NoError) {
        if (error)
            *error = QStringLiteral("Failed to download package: %1").arg(writeError.isEmpty() ? replyError : writeError);
        return false;
    }

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
