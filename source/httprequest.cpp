#include "source/httprequest.h"

#include "common/productnames.h"
#include "source/transfercancellation.h"

#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QUrl>

namespace Updater {

namespace {

// An error page is dropped as it arrives; a server that goes on past this is not answering.
constexpr qint64 errorPageLimit = 1024 * 1024;

// The body of a redirect or an error page is not the document asked for.
bool isDocument(const QNetworkReply *reply)
{
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    return !status.isValid() || status.toInt() < 300;
}

} // namespace

QNetworkRequest updateRequest(const QString &urlText)
{
    QNetworkRequest request(QUrl(urlText, QUrl::TolerantMode));
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setHeader(QNetworkRequest::UserAgentHeader, clientIdentifier());
    return request;
}

void awaitReply(QNetworkReply *reply, const TransferCancellation *cancel)
{
    // A cancelled transfer must not leave a reply behind whose result would carry the update on
    // after the user has gone; abort() finishes the reply, which ends the loop.
    if (cancel && cancel->isCancelled())
        reply->abort();
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QMetaObject::Connection onCancel;
    if (cancel)
        onCancel = QObject::connect(cancel, &TransferCancellation::cancelled, reply,
                                    &QNetworkReply::abort);
    if (!reply->isFinished())
        loop.exec(QEventLoop::AllEvents);
    QObject::disconnect(onCancel);
    // QCoreApplication::quit() (the last window closed) ends every nested loop at once, and no new
    // one runs until the main loop has returned, so the reply may still be running here.
    if (!reply->isFinished())
        reply->abort();
}

SmallDocument fetchSmallDocument(QNetworkAccessManager *network, const QString &url,
                                 qint64 maxBytes, const TransferCancellation *cancel)
{
    QNetworkReply *reply = network->get(updateRequest(url));
    // Without a bound Qt keeps whatever the server sends until it is read, however much that is.
    reply->setReadBufferSize(qMax(maxBytes, errorPageLimit) + 1);

    SmallDocument result;
    qint64 dropped = 0;
    const auto cutOff = [reply, &result] {
        result.tooLarge = true;
        reply->abort();
    };
    const auto checkAnnounced = [reply, maxBytes, &cutOff] {
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (isDocument(reply) && length.isValid() && length.toLongLong() > maxBytes)
            cutOff();
    };
    const auto drain = [reply, maxBytes, &result, &dropped, &cutOff] {
        // An aborted reply is closed and has nothing left to give.
        if (!reply->isOpen() || result.tooLarge)
            return;
        if (!isDocument(reply)) {
            dropped += qMax<qint64>(reply->skip(reply->bytesAvailable()), 0);
            if (dropped > errorPageLimit)
                cutOff();
            return;
        }
        result.body += reply->read(maxBytes + 1 - result.body.size());
        if (result.body.size() > maxBytes)
            cutOff();
    };
    const QMetaObject::Connection onHeaders =
        QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, checkAnnounced);
    const QMetaObject::Connection onData =
        QObject::connect(reply, &QNetworkReply::readyRead, reply, drain);

    awaitReply(reply, cancel);
    // The handlers capture locals of this call; the reply outlives it until deleteLater runs.
    QObject::disconnect(onHeaders);
    QObject::disconnect(onData);
    drain();

    result.error = reply->error();
    result.errorString = reply->errorString();
    if (result.error != QNetworkReply::NoError || result.tooLarge)
        result.body.clear();
    reply->deleteLater();
    return result;
}

} // namespace Updater
