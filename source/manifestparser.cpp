#include "source/manifestparser.h"

#include "common/failure.h"
#include "source/deltamanifest.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

namespace Updater {

namespace {

QString trimmedString(const QJsonObject &object, const QString &key)
{
    return object.value(key).toString().trimmed();
}

QString normalisedChannel(const QJsonObject &object)
{
    const QString channel = trimmedString(object, QStringLiteral("channel")).toLower();
    return channel == QLatin1String("migration") ? channel : QStringLiteral("stable");
}

} // namespace

bool parseUpdateManifest(const QByteArray &bytes, UpdateManifest *out, QString *error)
{
    if (error)
        error->clear();
    if (!out)
        return fail(error, QStringLiteral("Manifest output is not available."));

    const QJsonDocument document = QJsonDocument::fromJson(bytes);
    if (!document.isObject())
        return fail(error, QStringLiteral("Update manifest is not a JSON object."));
    const QJsonObject object = document.object();

    UpdateManifest manifest;
    manifest.version = trimmedString(object, QStringLiteral("version"));
    manifest.channel = normalisedChannel(object);
    manifest.minimumSupportedVersion =
        trimmedString(object, QStringLiteral("minimum_supported_version"));
    manifest.packageUrl = trimmedString(object, QStringLiteral("package_url"));
    manifest.packageHash = trimmedString(object, QStringLiteral("package_hash"));
    manifest.updaterUrl = trimmedString(object, QStringLiteral("updater_url"));
    manifest.updaterHash = trimmedString(object, QStringLiteral("updater_hash"));
    manifest.releaseNotes = object.value(QStringLiteral("release_notes")).toString();
    manifest.packageFormat = trimmedString(object, QStringLiteral("package_format"));
    manifest.mandatory = object.value(QStringLiteral("mandatory")).toBool(false);

    const QJsonValue delta = object.value(QStringLiteral("delta"));
    if (!delta.isUndefined() && !parseDelta(delta, &manifest.delta, &manifest.deltaRefusal))
        manifest.delta = DeltaRelease();

    if (manifest.packageFormat.isEmpty())
        manifest.packageFormat = QStringLiteral("zip");

    if (manifest.version.isEmpty())
        return fail(error, QStringLiteral("Update manifest is missing version."));
    if (manifest.packageUrl.isEmpty())
        return fail(error, QStringLiteral("Update manifest is missing package_url."));
    if (manifest.packageHash.isEmpty())
        return fail(error, QStringLiteral("Update manifest is missing package_hash."));

    *out = manifest;
    return true;
}

} // namespace Updater
