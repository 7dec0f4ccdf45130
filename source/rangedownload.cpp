#include "source/rangedownload.h"

#include "common/failure.h"
#include "source/filewrites.h"
#include "source/httprequest.h"

#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>

#include <memory>
#include <vector>

namespace Updater {

namespace {

// Only the bytes asked for, of the file the manifest describes: a server that ignores the range
// sends the whole file, a stale copy has another size, and anything else is no piece of ours.
bool checkAnswer(const DeltaTransfer &transfer, const QByteArray &range, const QNetworkReply &reply,
                 QString *refusal)
{
    const int status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    // Errors and redirects: the transfer's own rules say what they are.
    if (status < 200 || status >= 300)
        return true;
    const QByteArray contentRange = reply.rawHeader("Content-Range").trimmed();
    if (transfer.isWholeFile()
            ? status == 200
            : status == 206
                  && contentRange == "bytes " + range + '/' + QByteArray::number(transfer.fileSize))
        return true;
    return fail(refusal,
                QStringLiteral("the server answered %1 (Content-Range \"%2\") to a request "
                               "for bytes %3 of %4")
                    .arg(status)
                    .arg(QString::fromLatin1(contentRange), QString::fromLatin1(range))
                    .arg(transfer.fileSize));
}

} // namespace

bool downloadTransfers(const QList<DeltaTransfer> &transfers, const QString &directory,
                       const DownloadProgress &progress, const TransferCancellation *cancel,
                       QStringList *files, QString *error)
{
    qint64 total = 0;
    for (const DeltaTransfer &transfer : transfers)
        total += transfer.length;
    qint64 received = 0;

    std::vector<std::unique_ptr<QFile>> outputs;
    QList<TransferSetup> setups;
    for (const DeltaTransfer &transfer : transfers) {
        auto output = std::make_unique<QFile>(
            QDir(directory).filePath(QStringLiteral("transfer-%1").arg(outputs.size())));
        if (!output->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
            return fail(error, QStringLiteral("Failed to create %1: %2")
                                   .arg(QDir::toNativeSeparators(output->fileName()),
                                        output->errorString()));
        const QByteArray range = QByteArray::number(transfer.offset) + '-'
                                 + QByteArray::number(transfer.offset + transfer.length - 1);
        TransferSetup setup;
        setup.url = transfer.url;
        if (!transfer.isWholeFile())
            setup.headers = {{"Range", "bytes=" + range}};
        setup.bodyLimit = transfer.length;
        setup.onHeaders = [transfer, range](const QNetworkReply &reply, qint64 *,
                                            QString *refusal) {
            return checkAnswer(transfer, range, reply, refusal);
        };
        setup.onBody = [file = output.get(), &received, total,
                        &progress](const char *data, qint64 size, QString *refusal) {
            if (!writeFully(file, data, size))
                return fail(refusal, file->errorString());
            received += size;
            if (progress)
                progress(received, total);
            return true;
        };
        setups.append(setup);
        outputs.push_back(std::move(output));
    }

    const auto network = newNetworkAccess();
    const QList<TransferOutcome> outcomes =
        runTransfers(network.get(), setups, rangeTransfersInFlight, cancel);
    // The failure that ended the others says what went wrong, not their cancellation.
    qsizetype failed = -1;
    for (qsizetype index = 0; index < outcomes.size(); ++index) {
        const TransferOutcome &outcome = outcomes.at(index);
        if (!outcome.succeeded()
            && (failed < 0
                || (outcomes.at(failed).error == QNetworkReply::OperationCanceledError
                    && !outcomes.at(failed).refused)))
            failed = index;
    }
    for (qsizetype index = 0; index < outcomes.size(); ++index) {
        QFile &output = *outputs.at(size_t(index));
        output.close();
        if (failed < 0 && output.size() != transfers.at(index).length)
            return fail(error, QStringLiteral("Failed to download %1: the transfer ended after %2 "
                                              "of %3 bytes")
                                   .arg(transfers.at(index).url)
                                   .arg(output.size())
                                   .arg(transfers.at(index).length));
        if (files)
            files->append(output.fileName());
    }
    if (failed >= 0)
        return fail(error, QStringLiteral("Failed to download %1: %2")
                               .arg(transfers.at(failed).url, outcomes.at(failed).reason));
    return true;
}

} // namespace Updater
