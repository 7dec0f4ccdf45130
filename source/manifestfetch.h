#pragma once

#include "common/updatemanifest.h"

#include <QString>
#include <QStringList>

namespace Updater {

class TransferCancellation;

// Fetches the manifest at url (one GET with updateRequest's setup, waited for in a local event
// loop), parses it into *manifest and accepts only the zip package format. A body of more than
// 1 MiB is refused without being read further. With release keys built in (releasePublicKeys),
// the manifest must also be signed: see the overload below. False with one message in *error
// (may be null): "Failed to fetch manifest: %1", "Manifest is too large.", a signature's message,
// the parser's message, or "Unsupported package format: %1" (then *manifest already holds the
// rejected manifest; after any other failure it is untouched). A cancelled transfer fails as a
// failed fetch. Writes no file. Thread with an event loop (GUI).
bool fetchUpdateManifest(const QString &url, const TransferCancellation *cancel,
                         UpdateManifest *manifest, QString *error);

// As above with publicKeys in place of the built-in keys. With any key, before the manifest is
// parsed its signature is fetched from url with ".minisig" added to the path (same setup, the
// query kept) and checked over the exact manifest bytes (verifyManifestSignature), and the
// version in the signed trusted comment must be the manifest's. Further messages:
// "Manifest signature is missing." (HTTP 404 or 410, or an empty body), "Failed to fetch
// manifest signature: %1", "Manifest signature is not valid." (also for more than 4 KiB),
// "Manifest is signed by an unknown key.", "Signed version does not match the manifest.".
bool fetchUpdateManifest(const QString &url, const QStringList &publicKeys,
                         const TransferCancellation *cancel, UpdateManifest *manifest,
                         QString *error);

} // namespace Updater
