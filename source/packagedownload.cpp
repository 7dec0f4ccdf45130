#include "source/packagedownload.h"

#include "source/httprequest.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>

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

bool downloadPackage(const QString &url, const QString &path, const DownloadProgress &progress,
                     const TransferCancellation *cancel, QString *error)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile::remove(path);

    QFile file(path);
    // Unbuffered: the chunks are large already, an extra copy through QFile's buffer gains nothing.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        if (error)
            *error = QStringLiteral("Failed to create package file: %1").arg(file.errorString());
        return false;
    }

    const auto network = std::make_unique<QNetworkAccessManager>();
    QNetworkReply *reply = network->get(updateRequest(url));
    reply->setReadBufferSize(replyBufferSize);

    // Progress follows the bytes written against the announced size. Qt's downloadProgress is
    // throttled to one report per 100 ms, so the bytes that arrive just before the transfer stalls
    // would go unshown, and at the end of a download of unknown size it reports the size after
    // all, which would move a bar that should stay where the download began.
    qint64 announcedSize = -1;
    qint64 written = 0;
    const auto report = [reply, &progress, &announcedSize, &written](qint64 count) {
        if (announcedSize < 0) {
            const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
            announcedSize = length.isValid() ? qMax<qint64>(length.toLongLong(), 0) : 0;
        }
        written += count;
        if (progress)
            progress(written, announcedSize);
    };

    // One reusable block instead of a fresh QByteArray per readAll().
    QByteArray block(replyBufferSize, Qt::Uninitialized);
    // A failed write (a full disk, typically) would otherwise surface only as a digest mismatch
    // after the whole package had been fetched; stop at once and say what went wrong.
    QString writeError;
    bool diskFull = false;
    const auto drainToFile = [&file, &block, reply, &report, &writeError, &diskFull] {
        // An aborted reply is closed and has nothing left to give.
        if (!reply->isOpen() || !writeError.isEmpty())
            return;
        for (;;) {
            const qint64 count = reply->read(block.data(), block.size());
            if (count <= 0)
                break;
            if (!writeFully(&file, block.constData(), count)) {
                writeError = file.errorString();
                diskFull = file.error() == QFileDevice::ResourceError;
                reply->abort();
                return;
            }
            report(count);
        }
    };
    QObject::connect(reply, &QNetworkReply::readyRead, reply, drainToFile);

    awaitReply(reply, cancel);
    // The handler captures locals of this call; the reply outlives it until deleteLater runs.
    QObject::disconnect(reply, &QNetworkReply::readyRead, reply, nullptr);

    drainToFile();
    file.close();

    const QNetworkReply::NetworkError code = reply->error();
    const QString replyError = reply->errorString();
    reply->deleteLater();

    if (diskFull) {
        // A package that filled the disk must not keep it full until some later update.
        QFile::remove(path);
        QDir().rmdir(QFileInfo(path).path());
    }
    if (!writeError.isEmpty() || code != QNetworkReply::NoError) {
        if (error)
            *error = QStringLiteral("Failed to download package: %1")
                         .arg(writeError.isEmpty() ? replyError : writeError);
        return false;
    }
    return true;
}

} // namespace Updater
