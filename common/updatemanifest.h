#pragma once

#include "common/deltarelease.h"

#include <QDateTime>
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
    // The release policy's fields: after this instant (UTC) the manifest is no longer taken
    // (invalid: none given), the package's exact size in bytes (-1: none given), and whether the
    // release may replace a newer version.
    QDateTime expires;
    qint64 packageSize = -1;
    bool allowDowngrade = false;
    // The differential update beside the package (empty when the manifest has none), or why the
    // manifest's delta object was not taken; the package serves either way.
    DeltaRelease delta;
    QString deltaRefusal;
};

} // namespace Updater
