#include "source/manifestparser.h"

#include "common/failure.h"
#include "source/deltamanifest.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QRegularExpression>

#include <cmath>

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

// RFC 3339: a full date and time with seconds and a zone (Z or an offset). Qt's ISO reading alone
// would also take a bare date, or a time without a zone as local time, which differs per machine.
bool readExpiry(const QJsonValue &value, QDateTime *expires)
{
    if (value.isUndefined() || value.isNull())
        return true;
    static const QRegularExpression rfc3339(QStringLiteral(
        "^\\d{4}-\\d{2}-\\d{2}[Tt]\\d{2}:\\d{2}:\\d{2}(\\.\\d+)?([Zz]|[+-]\\d{2}:\\d{2})$"));
    const QString text = value.toString().trimmed();
    if (!rfc3339.match(text).hasMatch())
        return false;
    *expires = QDateTime::fromString(text.toUpper(), Qt::ISODateWithMs).toUTC();
    return expires->isValid();
}

// A whole number of bytes that a double holds exactly.
bool readPackageSize(const QJsonValue &value, qint64 *size)
{
    if (value.isUndefined() || value.isNull())
        return true;
    const double number = value.toDouble(-1);
    if (!value.isDouble() || number < 0 || number > 9007199254740992.0
        || std::floor(number) != number)
        return false;
    *size = static_cast<qint64>(number);
    return true;
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
    // Anything but true keeps the safe default.
    manifest.allowDowngrade = object.value(QStringLiteral("allow_downgrade")).toBool(false);

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
    // The policy fields decide what is installed: a value that cannot be read is refused rather
    // than taken as absent.
    if (!readExpiry(object.value(QStringLiteral("expires")), &manifest.expires))
        return fail(error, QStringLiteral("Update manifest has an invalid expires (an RFC 3339 "
                                          "time such as 2027-01-31T00:00:00Z is expected)."));
    if (!readPackageSize(object.value(QStringLiteral("package_size")), &manifest.packageSize))
        return fail(error, QStringLiteral("Update manifest has an invalid package_size (a whole "
                                          "number of bytes is expected)."));

    *out = manifest;
    return true;
}

} // namespace Updater
