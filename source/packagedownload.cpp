#include "source/packagedownload.h"

#include "common/failure.h"
#include "source/filewrites.h"
#include "source/httprequest.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QSaveFile>

namespace Updater {

namespace {

// How much is read and written at once.
constexpr qint64 copyBlockSize = 2 * 1024 * 1024;

// Beside the package: the URL it comes from and the validator of the answer that began it.
QString resumeStatePath(const QString &path)
{
    return path + QStringLiteral(".resume");
}

// A part of the package that an earlier attempt left, and what vouches that the server's file
// is still the same.
struct Part
{
    qint64 size = 0;
    QByteArray validator;
};

Part resumablePart(const QString &path, const QString &url, qint64 expectedSize)
{
    QFile state(resumeStatePath(path));
    if (!state.open(QIODevice::ReadOnly))
        return {};
    const QList<QByteArray> lines = state.read(64 * 1024).split('\n');
    const qint64 size = QFileInfo(path).size();
    // A file as long as the package, or longer, is no part of it.
    if (lines.size() < 2 || QString::fromUtf8(lines.at(0)) != url || lines.at(1).isEmpty()
        || size <= 0 || (expectedSize >= 0 && size >= expectedSize))
        return {};
    return {size, lines.at(1)};
}

// A strong ETag names these very bytes; a weak one may not be used with If-Range at all, and
// Last-Modified is the server's second best.
void keepResumeState(const QString &path, const QString &url, const QNetworkReply &reply)
{
    QByteArray validator = reply.rawHeader("ETag").trimmed();
    if (validator.isEmpty() || validator.startsWith("W/"))
        validator = reply.rawHeader("Last-Modified").trimmed();
    QSaveFile state(resumeStatePath(path));
    if (validator.isEmpty() || validator.contains('\n') || !state.open(QIODevice::WriteOnly)) {
        QFile::remove(resumeStatePath(path));
        return;
    }
    state.write(url.toUtf8() + '\n' + validator + '\n');
    state.commit();
}

// The first byte of a 206 answer ("Content-Range: bytes 100-999/1000"), and its whole size when
// given; -1 when the header is not of that form.
qint64 rangeStart(const QNetworkReply &reply, qint64 *total)
{
    static const QRegularExpression form(QStringLiteral("^bytes (\\d+)-\\d+/(\\d+|\\*)$"));
    const QRegularExpressionMatch match =
        form.match(QString::fromLatin1(reply.rawHeader("Content-Range").trimmed()));
    if (!match.hasMatch())
        return -1;
    *total = match.captured(2) == QLatin1String("*") ? 0 : match.captured(2).toLongLong();
    return match.captured(1).toLongLong();
}

} // namespace

void discardPackage(const QString &path)
{
    QFile::remove(path);
    QFile::remove(resumeStatePath(path));
}

bool downloadPackage(const QString &url, const QString &path, qint64 expectedSize,
                     const DownloadProgress &progress, const TransferCancellation *cancel,
                     QString *error)
{
    const QString dir = QFileInfo(path).path();
    QDir().mkpath(dir);
    Part part = resumablePart(path, url, expectedSize);
    if (part.size == 0)
        discardPackage(path);
    if (expectedSize >= 0 && !checkFreeSpace(dir, expectedSize - part.size, error))
        return false;

    QFile file(path);
    // Unbuffered: the chunks are large already, an extra copy through QFile's buffer gains nothing.
    const QIODevice::OpenMode mode =
        part.size > 0 ? QIODevice::ReadWrite : QIODevice::WriteOnly | QIODevice::Truncate;
    if (!file.open(mode | QIODevice::Unbuffered) || !file.seek(part.size))
        return fail(error,
                    QStringLiteral("Failed to create package file: %1").arg(file.errorString()));

    const auto network = newNetworkAccess();
    qint64 written = part.size;
    qint64 total = qMax<qint64>(expectedSize, 0);
    bool restart = false;
    bool broken = false; // a wrong size or a full disk: the file is of no use to a later attempt
    // What the answer's body is: the rest of the part (a 206 from where the part ends), the
    // whole package (a 200), or neither.
    const auto checkAnswer = [&](const QNetworkReply &reply, qint64 *bodyLimit, QString *refusal) {
        const int status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        qint64 rangeTotal = 0;
        if (part.size > 0 && status == 206 && rangeStart(reply, &rangeTotal) == part.size) {
            if (total == 0)
                total = rangeTotal;
        } else if (status == 200) {
            // The part is not of this file any more, or the server ignores ranges: from the
            // beginning.
            if (written > 0 && (!file.resize(0) || !file.seek(0))) {
                broken = true;
                return fail(refusal, file.errorString());
            }
            part = {};
            written = 0;
            keepResumeState(path, url, reply);
            if (total == 0)
                total = qMax<qint64>(
                    reply.header(QNetworkRequest::ContentLengthHeader).toLongLong(), 0);
        } else if (part.size > 0) {
            restart = true;
            return fail(refusal, QStringLiteral("the server did not resume the package"));
        } else {
            // An error status is the transfer's to report; anything else is no package.
            return status < 200 || status >= 300
                   || fail(refusal,
                           QStringLiteral("the server answered with status %1").arg(status));
        }
        const QVariant length = reply.header(QNetworkRequest::ContentLengthHeader);
        *bodyLimit = expectedSize >= 0 ? expectedSize - part.size : -1;
        if (*bodyLimit >= 0 && length.isValid() && length.toLongLong() != *bodyLimit) {
            broken = true;
            return fail(refusal, QStringLiteral("the server announced %1 bytes, the manifest %2")
                                     .arg(length.toLongLong() + part.size)
                                     .arg(expectedSize));
        }
        return true;
    };
    const auto writeBody = [&](const char *data, qint64 size, QString *refusal) {
        // A failed write (a full disk, typically) would otherwise surface only as a digest
        // mismatch after the whole package had been fetched; stop at once and say what went wrong.
        if (!writeFully(&file, data, size)) {
            broken = file.error() == QFileDevice::ResourceError;
            return fail(refusal, file.errorString());
        }
        written += size;
        if (progress)
            progress(written, total);
        return true;
    };

    TransferOutcome outcome;
    for (;;) {
        TransferSetup setup;
        setup.url = url;
        if (part.size > 0)
            setup.headers = {{"Range", "bytes=" + QByteArray::number(part.size) + '-'},
                             {"If-Range", part.validator}};
        setup.bodyLimit = expectedSize;
        setup.onHeaders = checkAnswer;
        setup.onBody = writeBody;
        outcome = runTransfer(network.get(), setup, cancel);
        if (!restart)
            break;
        // Anything but the rest of the same file: once more, from the beginning.
        restart = false;
        part = {};
        written = 0;
        QFile::remove(resumeStatePath(path));
        if (!file.resize(0) || !file.seek(0))
            return fail(
                error, QStringLiteral("Failed to create package file: %1").arg(file.errorString()));
    }
    file.close();

    if (broken || outcome.tooLarge || (!outcome.succeeded() && written == 0)) {
        // A package that filled the disk must not keep it full until some later update, one of
        // the wrong size is no part of the right one, and an empty file is of use to no one.
        discardPackage(path);
        QDir().rmdir(dir);
    }
    if (!outcome.succeeded())
        return fail(error, QStringLiteral("Failed to download package: %1").arg(outcome.reason));
    // The rest stays for the next attempt to resume.
    if (expectedSize >= 0 && written != expectedSize)
        return fail(error, QStringLiteral("Failed to download package: the transfer ended after "
                                          "%1 of %2 bytes")
                               .arg(written)
                               .arg(expectedSize));
    return true;
}

bool copyPackage(const QString &source, const QString &path, qint64 expectedSize, QString *error)
{
    const QString dir = QFileInfo(path).path();
    QDir().mkpath(dir);
    discardPackage(path);
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        return fail(error, QStringLiteral("Could not open %1").arg(source));
    if (expectedSize >= 0 && !checkFreeSpace(dir, expectedSize, error))
        return false;
    QFile out(path);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
        return fail(error,
                    QStringLiteral("Failed to create package file: %1").arg(out.errorString()));

    QByteArray block(copyBlockSize, Qt::Uninitialized);
    qint64 copied = 0;
    QString reason;
    for (;;) {
        const qint64 count = in.read(block.data(), block.size());
        if (count < 0)
            reason = in.errorString();
        if (count <= 0)
            break;
        copied += count;
        // Read no further than the size allows: the source may be a file that keeps growing.
        if (expectedSize >= 0 && copied > expectedSize)
            break;
        if (!writeFully(&out, block.constData(), count)) {
            reason = out.errorString();
            break;
        }
    }
    out.close();
    if (reason.isEmpty() && expectedSize >= 0 && copied != expectedSize)
        reason = QStringLiteral("it has %1%2 bytes, the manifest %3")
                     .arg(copied > expectedSize ? QStringLiteral("more than ") : QString())
                     .arg(qMin(copied, expectedSize))
                     .arg(expectedSize);
    if (!reason.isEmpty()) {
        discardPackage(path);
        QDir().rmdir(dir);
        return fail(error, QStringLiteral("Could not copy the offline package: %1").arg(reason));
    }
    return true;
}

} // namespace Updater
