#include "source/manifestfetch.h"

#include "source/httprequest.h"
#include "source/manifestparser.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>

#include <memory>

namespace Updater {

bool fetchUpdateManifest(const QString &url, const TransferCancellation *cancel,
                         UpdateManifest *manifest, QString *error)
{
    const auto network = std::make_unique<QNetworkAccessManager>();
    QNetworkReply *reply = network->get(updateRequest(url));
    awaitReply(reply, cancel);

    const QNetworkReply::NetworkError code = reply->error();
    // An aborted reply is closed; reading it would only produce a warning.
    const QByteArray body = reply->isOpen() ? reply->readAll() : QByteArray();
    const QString replyError = reply->errorString();
    reply->deleteLater();

    if (code != QNetworkReply::NoError) {
        if (error)
            *error = QStringLiteral("Failed to fetch manifest: %1").arg(replyError);
        return false;
    }
    if (!parseUpdateManifest(body, manifest, error))
        return false;
    if (manifest->packageFormat.compare(QLatin1String("zip"), Qt::CaseInsensitive) != 0) {
        if (error)
            *error = QStringLiteral("Unsupported package format: %1").arg(manifest->packageFormat);
        return false;
    }
    return true;
}

} // namespace Updater
