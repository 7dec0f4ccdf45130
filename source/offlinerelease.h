#pragma once

#include "common/updatemanifest.h"

#include <QString>
#include <QStringList>

namespace Updater {

// Reads the release that orvalink-release published and the client copied into folder:
// manifest.json, manifest.json.minisig and the package named by the last segment of the
// manifest's package_url. The manifest and its signature are read once, within their bounds,
// and taken as acceptManifest takes them with publicKeys and currentVersion; *packageFile is the
// package's path in folder, which the caller copies before verifying its digest. False with one
// message in *error (may be null): "Offline payload is not a signed release." (one of the three
// files is missing or not a file, such as an unpacked release), "Manifest is too large.",
// "Manifest signature is not valid.", "Could not read %1", or acceptManifest's message.
// Blocking; any thread.
bool readOfflineRelease(const QString &folder, const QStringList &publicKeys,
                        const QString &currentVersion, UpdateManifest *manifest,
                        QString *packageFile, QString *error);

} // namespace Updater
