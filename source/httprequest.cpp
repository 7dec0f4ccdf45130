#include "source/httprequest.h"

#include <QDialog>
#include <QEventLoop>
#include <QNetworkReply>
#include <QUrl>

namespace Updater {

QString clientIdentifier()
{
    return QStringLiteral("Orvalink v3");
}

QNetworkRequest updateRequest(const QString &urlText)
{
    QNetworkRequest request(QUrl(urlText, QUrl::TolerantMode));
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setHeader(QNetworkRequest::UserAgentHeader, clientIdentifier());
    return request;
}

void awaitReply(QNetworkReply *reply, QDialog *window)
{
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    // A window closed while we wait must not leave a transfer behind whose result would carry the
    // update on after the user has gone; abort() finishes the reply, which ends the loop.
    const QMetaObject::Connection onClose =
        QObject::connect(window, &QDialog::finished, reply, &QNetworkReply::abort);
    if (!reply->isFinished())
        loop.exec(QEventLoop::AllEvents);
    QObject::disconnect(onClose);
    // QCoreApplication::quit() (the last window closed) ends every nested loop at once, and no new
    // one runs until the main loop has returned, so the reply may still be running here.
    if (!reply->isFinished())
        reply->abort();
}

} // namespace Updater
