#include "source/manifestfetch.h"

#include "source/httprequest.h"
#include "source/manifestparser.h"

#include <QNetworkAccessManager>

namespace Updater {

namespace {

// A manifest is a few hundred bytes; the bound only keeps a hostile or broken server from
// filling memory.
constexpr qint64 manifestSizeLimit = 1024 * 1024;

bool fail(QString *error, const QString &message)
{
    if (error)
        *error = message;
    return false;
}

} // namespace

bool fetchUpdateManifest(const QString &url, const TransferCancellation *cancel,
                         UpdateManifest *manifest, QString *error)
{
    QNetworkAccessManager network;
    const SmallDocument document = fetchSmallDocument(&network, url, manifestSizeLimit, cancel);
    if (document.tooLarge)
        return fail(error, QStringLiteral("Manifest is too large."));
    if (document.error != QNetworkReply::NoError)
        return fail(error,
                    QStringLiteral("Failed to fetch manifest: %1").arg(document.errorString));

    if (!parseUpdateManifest(document.body, manifest, error))
        return false;
    if (manifest->packageFormat.compare(QLatin1String("zip"), Qt::CaseInsensitive) != 0)
        return fail(error,
                    QStringLiteral("Unsupported package format: %1").arg(manifest->packageFormat));
    return true;
}

} // namespace Updater
