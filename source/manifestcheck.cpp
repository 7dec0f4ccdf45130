#include "ui/updaterwindow.h"

#include "source/httprequest.h"
#include "source/updatemanifest.h"

#include <QLabel>
#include <QNetworkAccessManager>
#include <QNetworkReply>

#include <memory>

namespace Updater {

bool UpdaterWindow::fetchManifest(QString *error)
{
    reportStage(QStringLiteral("Проверка manifest"), 5);

    const auto network = std::make_unique<QNetworkAccessManager>();
    QNetworkReply *reply = network->get(updateRequest(options.manifestUrl));
    awaitReply(reply, this);

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
    if (!parseUpdateManifest(body, &manifest, error))
        return false;
    if (manifest.packageFormat.compare(QLatin1String("zip"), Qt::CaseInsensitive) != 0) {
        if (error)
            *error = QStringLiteral("Unsupported package format: %1").arg(manifest.packageFormat);
        return false;
    }

    versionLabel->setText(QStringLiteral("%1 -> %2").arg(options.currentVersion, manifest.version));
    return true;
}

} // namespace Updater
