#pragma once

#include "tools/release/releaseoptions.h"

#include <QString>
#include <QStringList>

namespace Updater::Release {

// What a successful run published.
struct ReleaseSummary
{
    QString packagePath;
    QString manifestPath;
    QString packageSha256;
    qint64 packageSize = 0;
    int entryCount = 0;
    QStringList deltaFiles; // the differential update's files written beside the package
    QString deltaNote;      // why there is no differential update, when there is none
    QString signaturePath;  // signed: the .minisig written, and the id of the key that signed it
    QString signingKeyId;
    QString signCommand; // not signed: the minisign command that signs the manifest
};

// Packs the payload into <out>/package.zip and writes <out>/manifest.json describing it, the
// output directory created if needed; the differential update's files (DeltaPublication), made
// against the earlier releases of options.previous, beside them and described by the manifest's
// delta object; with options.signingKey also <out>/manifest.json.minisig,
// the manifest's minisign signature whose trusted comment names the version (the key is opened
// first, a wrong password ends the run before any work). All are written to temporary files in
// the output directory and checked before they take their names: the zip is read back whole and
// must list exactly what was packed, its bytes on disk must hash to what was written, the
// manifest must read back through the updater's own parser with every value as intended, the
// package must pass the updater's own digest check against that manifest, and the signature must
// pass the updater's own signature check with the key's public half and vouch for the version.
// The package takes its name first, then the signature (or an earlier signature is removed), and
// the manifest last, so a reader of the manifest never gets the hash of a package that is not
// there yet. On failure *error (may be null) holds one English message and the output directory
// is as it was (unless a rename after the package's fails, which leaves the new package under
// the old manifest; the updater then refuses it by its digest or its signature). Unix only.
bool buildRelease(const ReleaseOptions &options, ReleaseSummary *summary, QString *error);

} // namespace Updater::Release
