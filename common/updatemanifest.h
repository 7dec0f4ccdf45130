#pragma once

#include <QString>

namespace Updater {

// One release as the update server describes it (or as offline mode assumes it).
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

} // namespace Updater
