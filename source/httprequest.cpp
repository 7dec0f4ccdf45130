#include "source/httprequest.h"

#include "common/productnames.h"
#include "source/transfercancellation.h"

#include <QEventLoop>
#include <QNetworkReply>
#include <QUrl>

namespace Updater {

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

} // namespace Updater
