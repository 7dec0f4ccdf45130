#pragma once

#include "common/updatemanifest.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace Updater {

class TransferCancellation;

// A manifest is a few hundred bytes, some hundred kilobytes with a differential update's file list
// (the release tool leaves that out rather than go past the bound); the bound only keeps a
// hostile or broken server from filling memory.
constexpr qint64 manifestSizeLimit = 1024 * 1024;
// A signature is about 300 bytes plus its trusted comment.
constexpr qint64 signatureSizeLimit = 4 * 1024;

// Fetches the manifest at url (runTransfer's rules), and takes it as acceptManifest does with the
// built-in keys (releasePublicKeys). A body of more than 1 MiB is refused without being read
// further. False with one message in *error (may be null): "Failed to fetch manifest: %1",
// "Manifest is too large.", or one of acceptManifest's; a cancelled transfer fails as a failed
// fetch. Writes no file. Thread with an event loop (GUI).
bool fetchUpdateManifest(const QString &url, const QString &currentVersion,
                         const TransferCancellation *cancel, UpdateManifest *manifest,
                         QString *error);

// As above with publicKeys in place of the built-in keys. With any key the manifest's signature
// is fetched from url with ".minisig" added to the path (same rules, the query kept) before the
// manifest is parsed. Further messages: "Manifest signature is missing." (HTTP 404 or 410),
// "Failed to fetch manifest signature: %1", "Manifest signature is not valid." (also for more
// than 4 KiB).
bool fetchUpdateManifest(const QString &url, const QStringList &publicKeys,
                         const QString &currentVersion, const TransferCancellation *cancel,
                         UpdateManifest *manifest, QString *error);

// Takes manifestBytes as the release to install over currentVersion: with any of publicKeys,
// signatureFile must be their signature over those exact bytes (verifyManifestSignature) whose
// trusted comment names the manifest's version; then the manifest is parsed, must pass
// checkReleasePolicy (signed when there are keys) and name the zip format. False with one
// message in *error (may be null): "Manifest signature is missing." (an empty signatureFile), a
// signature's message, "Signed version does not match the manifest.", the parser's or the
// policy's message, or "Unsupported package format: %1" (then *manifest already holds the
// rejected manifest; after any other failure it is untouched). Pure; any thread.
bool acceptManifest(const QByteArray &manifestBytes, const QByteArray &signatureFile,
                    const QStringList &publicKeys, const QString &currentVersion,
                    UpdateManifest *manifest, QString *error);

} // namespace Updater
