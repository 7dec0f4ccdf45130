#pragma once

#include <QByteArray>
#include <QString>

namespace Updater {

// One release as the update server describes it.
struct UpdateManifest
{
    QString version;
    QString channel;
    QString minimumSupportedVersion;
    QString packageUrl;
    QString packageHash;
    QString updaterUrl;
    QString updaterHash;
    QString releaseNotes;
    QString packageFormat = QStringLiteral("zip");
    bool mandatory = false;
};

// Parses a manifest body. On success fills all of *out and leaves *error empty; on failure
// leaves *out untouched and puts one English message into *error (which may be null).
bool parseUpdateManifest(const QByteArray &bytes, UpdateManifest *out, QString *error);

} // namespace Updater
