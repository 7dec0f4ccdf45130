#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace Updater {

// Checks a minisign signature file (the bytes of manifest.json.minisig) over the exact bytes of
// the manifest, against publicKeys (minisign public keys in base64, as minisign prints them).
// Takes the prehashed "ED" signature (Ed25519 over the BLAKE2b-512 of the manifest) and the
// legacy "Ed" one (Ed25519 over the manifest itself), by any of the keys, and requires the global
// signature over the trusted comment. On success *trustedComment holds that comment. False with
// one message in *error (may be null): "Manifest is signed by an unknown key." or "Manifest
// signature is not valid." (malformed, not UTF-8, a wrong signature, a trusted comment changed
// after signing). Pure; any thread.
bool verifyManifestSignature(const QByteArray &manifest, const QByteArray &signatureFile,
                             const QStringList &publicKeys, QString *trustedComment,
                             QString *error);

// The value of the "version:" field of a trusted comment whose fields are separated by tabs or
// spaces ("timestamp:1700000000\tfile:manifest.json\tversion:3.0.1" gives "3.0.1"). Empty when
// the comment has no such field or fields with different values.
QString signedVersion(const QString &trustedComment);

} // namespace Updater
