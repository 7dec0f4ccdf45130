#include "source/manifestfetch.h"

#include "common/failure.h"

#include "source/httprequest.h"
#include "source/manifestparser.h"
#include "source/manifestsignature.h"
#include "source/releasekeys.h"

#include <QNetworkAccessManager>

namespace Updater {

namespace {

// A manifest is a few hundred bytes; the bound only keeps a hostile or broken server from
// filling memory.
constexpr qint64 manifestSizeLimit = 1024 * 1024;
// A signature is about 300 bytes plus its trusted comment.
constexpr qint64 signatureSizeLimit = 4 * 1024;

// The query (and a fragment) stay where they are: "…/manifest.json?arch=x64" is signed by
// "…/manifest.json.minisig?arch=x64".
QString signatureUrl(const QString &manifestUrl)
{
    qsizetype end = manifestUrl.size();
    for (const QChar delimiter : {QLatin1Char('?'), QLatin1Char('#')}) {
        const qsizetype at = manifestUrl.indexOf(delimiter);
        if (at >= 0)
            end = qMin(end, at);
    }
    return QString(manifestUrl).insert(end, QLatin1String(".minisig"));
}

bool checkSignature(QNetworkAccessManager *network, const QString &manifestUrl,
                    const QByteArray &manifestBytes, const QStringList &publicKeys,
                    const TransferCancellation *cancel, QString *version, QString *error)
{
    const SmallDocument signature =
        fetchSmallDocument(network, signatureUrl(manifestUrl), signatureSizeLimit, cancel);
    if (signature.tooLarge)
        return fail(error, QStringLiteral("Manifest signature is not valid."));
    if (signature.error == QNetworkReply::ContentNotFoundError
        || signature.error == QNetworkReply::ContentGoneError
        || (signature.error == QNetworkReply::NoError && signature.body.isEmpty()))
        return fail(error, QStringLiteral("Manifest signature is missing."));
    if (signature.error != QNetworkReply::NoError)
        return fail(
            error,
            QStringLiteral("Failed to fetch manifest signature: %1").arg(signature.errorString));

    QString trustedComment;
    if (!verifyManifestSignature(manifestBytes, signature.body, publicKeys, &trustedComment, error))
        return false;
    *version = signedVersion(trustedComment);
    return true;
}

} // namespace

bool fetchUpdateManifest(const QString &url, const TransferCancellation *cancel,
                         UpdateManifest *manifest, QString *error)
{
    return fetchUpdateManifest(url, releasePublicKeys(), cancel, manifest, error);
}

bool fetchUpdateManifest(const QString &url, const QStringList &publicKeys,
                         const TransferCancellation *cancel, UpdateManifest *manifest,
                         QString *error)
{
    QNetworkAccessManager network;
    const SmallDocument document = fetchSmallDocument(&network, url, manifestSizeLimit, cancel);
    if (document.tooLarge)
        return fail(error, QStringLiteral("Manifest is too large."));
    if (document.error != QNetworkReply::NoError)
        return fail(error,
                    QStringLiteral("Failed to fetch manifest: %1").arg(document.errorString));

    const bool signatureRequired = !publicKeys.isEmpty();
    QString vouchedVersion;
    // The parser never sees bytes that no key vouches for.
    if (signatureRequired
        && !checkSignature(&network, url, document.body, publicKeys, cancel, &vouchedVersion,
                           error))
        return false;

    UpdateManifest parsed;
    if (!parseUpdateManifest(document.body, &parsed, error))
        return false;
    // A genuine signature of another release must not carry this one: the signed comment names
    // the version it vouches for.
    if (signatureRequired && parsed.version != vouchedVersion)
        return fail(error, QStringLiteral("Signed version does not match the manifest."));

    *manifest = parsed;
    if (manifest->packageFormat.compare(QLatin1String("zip"), Qt::CaseInsensitive) != 0)
        return fail(error,
                    QStringLiteral("Unsupported package format: %1").arg(manifest->packageFormat));
    return true;
}

} // namespace Updater
