#include "source/manifestfetch.h"

#include "common/failure.h"

#include "source/httprequest.h"
#include "source/manifestparser.h"
#include "source/manifestsignature.h"
#include "source/releasekeys.h"
#include "source/releasepolicy.h"

#include <QNetworkAccessManager>

namespace Updater {

namespace {

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

bool fetchSignature(QNetworkAccessManager *network, const QString &manifestUrl,
                    const TransferCancellation *cancel, QByteArray *signatureFile, QString *error)
{
    const SmallDocument signature =
        fetchSmallDocument(network, signatureUrl(manifestUrl), signatureSizeLimit, cancel);
    if (signature.tooLarge)
        return fail(error, QStringLiteral("Manifest signature is not valid."));
    if (signature.error == QNetworkReply::ContentNotFoundError
        || signature.error == QNetworkReply::ContentGoneError)
        return fail(error, QStringLiteral("Manifest signature is missing."));
    if (signature.error != QNetworkReply::NoError)
        return fail(
            error,
            QStringLiteral("Failed to fetch manifest signature: %1").arg(signature.errorString));
    *signatureFile = signature.body;
    return true;
}

} // namespace

bool fetchUpdateManifest(const QString &url, const QString &currentVersion,
                         const TransferCancellation *cancel, UpdateManifest *manifest,
                         QString *error)
{
    return fetchUpdateManifest(url, releasePublicKeys(), currentVersion, cancel, manifest, error);
}

bool fetchUpdateManifest(const QString &url, const QStringList &publicKeys,
                         const QString &currentVersion, const TransferCancellation *cancel,
                         UpdateManifest *manifest, QString *error)
{
    const auto network = newNetworkAccess();
    const SmallDocument document =
        fetchSmallDocument(network.get(), url, manifestSizeLimit, cancel);
    if (document.tooLarge)
        return fail(error, QStringLiteral("Manifest is too large."));
    if (document.error != QNetworkReply::NoError)
        return fail(error,
                    QStringLiteral("Failed to fetch manifest: %1").arg(document.errorString));

    QByteArray signature;
    if (!publicKeys.isEmpty() && !fetchSignature(network.get(), url, cancel, &signature, error))
        return false;
    return acceptManifest(document.body, signature, publicKeys, currentVersion, manifest, error);
}

bool acceptManifest(const QByteArray &manifestBytes, const QByteArray &signatureFile,
                    const QStringList &publicKeys, const QString &currentVersion,
                    UpdateManifest *manifest, QString *error)
{
    const bool signatureRequired = !publicKeys.isEmpty();
    QString vouchedVersion;
    // The parser never sees bytes that no key vouches for.
    if (signatureRequired) {
        if (signatureFile.isEmpty())
            return fail(error, QStringLiteral("Manifest signature is missing."));
        QString trustedComment;
        if (!verifyManifestSignature(manifestBytes, signatureFile, publicKeys, &trustedComment,
                                     error))
            return false;
        vouchedVersion = signedVersion(trustedComment);
    }

    UpdateManifest parsed;
    if (!parseUpdateManifest(manifestBytes, &parsed, error))
        return false;
    // A genuine signature of another release must not carry this one: the signed comment names
    // the version it vouches for.
    if (signatureRequired && parsed.version != vouchedVersion)
        return fail(error, QStringLiteral("Signed version does not match the manifest."));
    if (!checkReleasePolicy(parsed, currentVersion, signatureRequired,
                            QDateTime::currentDateTimeUtc(), error))
        return false;

    *manifest = parsed;
    if (manifest->packageFormat.compare(QLatin1String("zip"), Qt::CaseInsensitive) != 0)
        return fail(error,
                    QStringLiteral("Unsupported package format: %1").arg(manifest->packageFormat));
    return true;
}

} // namespace Updater
