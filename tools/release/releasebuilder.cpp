#include "tools/release/releasebuilder.h"

#include "common/failure.h"

#include "source/deltamanifest.h"
#include "source/manifestfetch.h"
#include "source/manifestparser.h"
#include "source/manifestsignature.h"
#include "source/packagehash.h"
#include "tools/release/deltapublisher.h"
#include "tools/release/outputfile.h"
#include "tools/release/payloadscan.h"
#include "tools/release/releasesigner.h"
#include "tools/release/ziparchive.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringDecoder>
#include <QTemporaryDir>
#include <QTemporaryFile>

#include <algorithm>

namespace Updater::Release {

namespace {

bool readReleaseNotes(const QString &path, QString *notes, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return fail(
            error,
            QStringLiteral("Cannot read the release notes %1: %2").arg(path, file.errorString()));
    const QByteArray bytes = file.readAll();
    QStringDecoder decoder(QStringDecoder::Utf8);
    *notes = decoder.decode(bytes);
    if (decoder.hasError())
        return fail(error, QStringLiteral("The release notes %1 are not UTF-8 text.").arg(path));
    return true;
}

bool isInside(const QString &path, const QString &dir)
{
    return path == dir || path.startsWith(dir + QLatin1Char('/'));
}

QString describe(const PayloadEntry &entry)
{
    return QStringLiteral("%1 (kind %2, mode %3, size %4, link %5)")
        .arg(entry.archivePath)
        .arg(static_cast<int>(entry.kind))
        .arg(entry.permissions, 4, 8, QLatin1Char('0'))
        .arg(entry.size)
        .arg(entry.linkTarget);
}

bool sameListing(const QList<PayloadEntry> &packed, const QList<PayloadEntry> &read,
                 QString *difference)
{
    if (packed.size() != read.size()) {
        *difference =
            QStringLiteral("%1 entries packed, %2 read back").arg(packed.size()).arg(read.size());
        return false;
    }
    for (int i = 0; i < packed.size(); ++i) {
        PayloadEntry expected = packed.at(i);
        expected.sourcePath.clear();
        if (expected.kind != PayloadEntry::Kind::File)
            expected.size = 0;
        const PayloadEntry &actual = read.at(i);
        if (expected.archivePath != actual.archivePath || expected.kind != actual.kind
            || expected.permissions != actual.permissions || expected.size != actual.size
            || expected.linkTarget != actual.linkTarget) {
            *difference =
                QStringLiteral("packed %1, read back %2").arg(describe(expected), describe(actual));
            return false;
        }
    }
    return true;
}

// The instant a release published now stops being taken: to the second, as the manifest holds it.
QDateTime expiryOf(const ReleaseOptions &options)
{
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    return QDateTime::fromSecsSinceEpoch(now + qint64(options.expiresInDays) * 24 * 3600, Qt::UTC);
}

QByteArray manifestDocument(const ReleaseOptions &options, const QString &notes,
                            const QByteArray &sha256, qint64 packageSize, const QDateTime &expires,
                            const DeltaRelease &delta)
{
    QJsonObject object;
    object.insert(QStringLiteral("version"), options.version);
    object.insert(QStringLiteral("channel"), options.channel);
    object.insert(QStringLiteral("minimum_supported_version"), options.minimumSupportedVersion);
    object.insert(QStringLiteral("package_url"), options.packageUrl);
    object.insert(QStringLiteral("package_hash"), QString::fromLatin1(sha256));
    object.insert(QStringLiteral("package_size"), packageSize);
    object.insert(QStringLiteral("expires"), expires.toString(Qt::ISODate));
    object.insert(QStringLiteral("package_format"), QStringLiteral("zip"));
    object.insert(QStringLiteral("mandatory"), options.mandatory);
    object.insert(QStringLiteral("release_notes"), notes);
    if (!delta.isEmpty())
        object.insert(QStringLiteral("delta"), deltaObject(delta));
    return QJsonDocument(object).toJson(QJsonDocument::Indented);
}

// Reads the manifest back as the updater will and checks the package against it with the
// updater's own digest check.
bool checkManifestReadsBack(const QString &manifestPath, const QString &packagePath,
                            const ReleaseOptions &options, const QString &notes,
                            const QByteArray &packageSha256, const QDateTime &expires,
                            const DeltaRelease &delta, QString *error)
{
    QFile file(manifestPath);
    if (!file.open(QIODevice::ReadOnly))
        return fail(
            error, QStringLiteral("Cannot read back %1: %2").arg(manifestPath, file.errorString()));

    UpdateManifest manifest;
    QString parseError;
    if (!parseUpdateManifest(file.readAll(), &manifest, &parseError))
        return fail(
            error,
            QStringLiteral("The written manifest is refused by the updater: %1").arg(parseError));

    const QString expectedHash = QString::fromLatin1(packageSha256);
    const bool same =
        manifest.version == options.version && manifest.channel == options.channel
        && manifest.minimumSupportedVersion == options.minimumSupportedVersion
        && manifest.packageUrl == options.packageUrl && manifest.packageHash == expectedHash
        && manifest.packageFormat == QLatin1String("zip") && manifest.mandatory == options.mandatory
        && manifest.releaseNotes == notes && manifest.packageSize == QFileInfo(packagePath).size()
        && manifest.expires == expires && !manifest.allowDowngrade
        && deltaObject(manifest.delta) == deltaObject(delta) && manifest.deltaRefusal.isEmpty();
    if (!same)
        return fail(error,
                    QStringLiteral("The written manifest reads back differently from what was "
                                   "meant (version %1, channel %2, hash %3%4).")
                        .arg(manifest.version, manifest.channel, manifest.packageHash,
                             manifest.deltaRefusal.isEmpty()
                                 ? QString()
                                 : QStringLiteral(", delta: ") + manifest.deltaRefusal));

    QString hashError;
    if (!verifyPackageHash(packagePath, manifest.packageHash, &hashError))
        return fail(
            error,
            QStringLiteral("The package does not pass the updater's check: %1").arg(hashError));
    return true;
}

// The fields minisign itself writes, and the version, which the updater requires to be the
// manifest's.
QString trustedComment(const QString &version, const QString &separator)
{
    return QStringList{QStringLiteral("timestamp:%1").arg(QDateTime::currentSecsSinceEpoch()),
                       QStringLiteral("file:manifest.json"),
                       QStringLiteral("version:%1").arg(version)}
        .join(separator);
}

QString shellQuoted(QString text)
{
    return QLatin1Char('\'') + text.replace(QLatin1Char('\''), QLatin1String("'\\''"))
           + QLatin1Char('\'');
}

bool writeSignature(QTemporaryFile *file, const QString &outDir, const QString &manifestPath,
                    const SigningKey &key, const ReleaseOptions &options, QString *error)
{
    QFile manifest(manifestPath);
    if (!manifest.open(QIODevice::ReadOnly))
        return fail(
            error,
            QStringLiteral("Cannot read back %1: %2").arg(manifestPath, manifest.errorString()));
    const QByteArray manifestBytes = manifest.readAll();
    if (!openTemporary(file, outDir, QStringLiteral("manifest.json.minisig"), error))
        return false;
    if (file->write(key.sign(manifestBytes, trustedComment(options.version, QStringLiteral("\t"))))
        < 0)
        return fail(
            error,
            QStringLiteral("Cannot write %1: %2").arg(file->fileName(), file->errorString()));
    if (!finishTemporary(file, error))
        return false;

    // Read back and checked as the updater will, with the public half of the key.
    QFile written(file->fileName());
    if (!written.open(QIODevice::ReadOnly))
        return fail(
            error,
            QStringLiteral("Cannot read back %1: %2").arg(file->fileName(), written.errorString()));
    QString comment;
    QString verifyError;
    if (!verifyManifestSignature(manifestBytes, written.readAll(), {key.publicKey()}, &comment,
                                 &verifyError))
        return fail(
            error,
            QStringLiteral("The written signature is refused by the updater: %1").arg(verifyError));
    if (signedVersion(comment) != options.version)
        return fail(error, QStringLiteral("The written signature vouches for version %1, not %2.")
                               .arg(signedVersion(comment), options.version));
    return true;
}

bool writeRelease(const ReleaseOptions &options, const QList<PayloadEntry> &entries,
                  const QList<ReleaseTree> &previous, const QString &notes, const SigningKey *key,
                  const QString &outDir, ReleaseSummary *summary, QString *error)
{
    QTemporaryFile zipFile;
    QByteArray writtenSha256;
    if (!openTemporary(&zipFile, outDir, QStringLiteral("package.zip"), error)
        || !writeZipArchive(entries, &zipFile, &writtenSha256, error)
        || !finishTemporary(&zipFile, error))
        return false;

    QList<PayloadEntry> readBack;
    QString difference;
    if (!readZipArchive(zipFile.fileName(), &readBack, error))
        return false;
    if (!sameListing(entries, readBack, &difference))
        return fail(error, QStringLiteral("The written package does not hold what was packed: %1")
                               .arg(difference));

    QString hashError;
    const QByteArray diskSha256 = sha256OfFile(zipFile.fileName(), &hashError).toLatin1();
    if (diskSha256.isEmpty())
        return fail(error, QStringLiteral("Cannot read back the package: %1").arg(hashError));
    if (diskSha256 != writtenSha256)
        return fail(error,
                    QStringLiteral("The package on disk differs from the bytes written to it."));

    DeltaPublication delta;
    if (!delta.write(entries, options.topFolder, previous, options.packageUrl, outDir, error)
        || !delta.check(previous, error))
        return false;

    QTemporaryFile manifestFile;
    if (!openTemporary(&manifestFile, outDir, QStringLiteral("manifest.json"), error))
        return false;
    const QDateTime expires = expiryOf(options);
    const auto document = [&] {
        return manifestDocument(options, notes, diskSha256, QFileInfo(zipFile.fileName()).size(),
                                expires, delta.delta());
    };
    // The updater refuses a larger manifest as a whole; the package alone still serves.
    if (document().size() > manifestSizeLimit)
        delta.abandon(QStringLiteral("No differential update: its file list would make the "
                                     "manifest larger than %1 bytes.")
                          .arg(manifestSizeLimit));
    if (manifestFile.write(document()) < 0)
        return fail(error, QStringLiteral("Cannot write %1: %2")
                               .arg(manifestFile.fileName(), manifestFile.errorString()));
    if (!finishTemporary(&manifestFile, error)
        || !checkManifestReadsBack(manifestFile.fileName(), zipFile.fileName(), options, notes,
                                   diskSha256, expires, delta.delta(), error))
        return false;

    QTemporaryFile signatureFile;
    if (key
        && !writeSignature(&signatureFile, outDir, manifestFile.fileName(), *key, options, error))
        return false;

    const QString packagePath = outDir + QStringLiteral("/package.zip");
    const QString manifestPath = outDir + QStringLiteral("/manifest.json");
    const QString signaturePath = outDir + QStringLiteral("/manifest.json.minisig");
    if (!moveIntoPlace(&zipFile, packagePath, error) || !delta.moveIntoPlace(outDir, error))
        return false;
    // The signature of an earlier release would only make a signed updater refuse this one as
    // "not valid" rather than "missing" until it is signed.
    if (key) {
        if (!moveIntoPlace(&signatureFile, signaturePath, error))
            return false;
    } else if (QFileInfo::exists(signaturePath) && !QFile::remove(signaturePath)) {
        return fail(error,
                    QStringLiteral("Cannot remove the earlier signature %1.").arg(signaturePath));
    }
    if (!moveIntoPlace(&manifestFile, manifestPath, error))
        return false;

    if (summary) {
        summary->packagePath = packagePath;
        summary->manifestPath = manifestPath;
        summary->packageSha256 = QString::fromLatin1(diskSha256);
        summary->packageSize = QFileInfo(packagePath).size();
        summary->entryCount = entries.size();
        summary->deltaFiles = delta.fileNames();
        summary->deltaNote = delta.note();
        if (key) {
            summary->signaturePath = signaturePath;
            summary->signingKeyId = key->keyIdText();
        } else {
            summary->signCommand =
                QStringLiteral("minisign -S -m %1 -t %2")
                    .arg(shellQuoted(manifestPath),
                         shellQuoted(trustedComment(options.version, QStringLiteral(" "))));
        }
    }
    return true;
}

} // namespace

bool buildRelease(const ReleaseOptions &options, ReleaseSummary *summary, QString *error)
{
    if (error)
        error->clear();

    QString notes;
    if (!options.releaseNotesFile.isEmpty()
        && !readReleaseNotes(options.releaseNotesFile, &notes, error))
        return false;

    // First, so that a wrong password ends the run before any work.
    SigningKey key;
    if (!options.signingKey.isEmpty()
        && !key.load(options.signingKey, options.signingPasswordFile, error))
        return false;

    QList<PayloadEntry> entries;
    if (!scanPayload(options.payloadDir, options.topFolder, &entries, error))
        return false;

    // The earlier releases' packages are unpacked for as long as the run takes.
    QTemporaryDir unpacked;
    QList<ReleaseTree> previous;
    for (const PreviousRelease &release : options.previous) {
        const QString unpackDir = unpacked.filePath(QString::number(previous.size()));
        ReleaseTree tree;
        if (!unpacked.isValid() || !QDir().mkpath(unpackDir))
            return fail(error, QStringLiteral("Cannot make a temporary directory."));
        if (!openReleaseTree(release, options.version, unpackDir, &tree, error))
            return false;
        if (std::any_of(previous.cbegin(), previous.cend(), [&tree](const ReleaseTree &known) {
                return known.version == tree.version;
            }))
            return fail(error,
                        QStringLiteral("The earlier version %1 is given twice.").arg(tree.version));
        previous.append(tree);
    }

    const QString outDir = QDir::cleanPath(QFileInfo(options.outDir).absoluteFilePath());
    const bool outExisted = QFileInfo::exists(outDir);
    if (outExisted && !QFileInfo(outDir).isDir())
        return fail(error, QStringLiteral("The output %1 is not a directory.").arg(outDir));
    if (!QDir().mkpath(outDir))
        return fail(error, QStringLiteral("Cannot create the output directory %1.").arg(outDir));

    bool written = false;
    // A package written into its own payload would pack its own temporary files next time.
    if (isInside(QFileInfo(outDir).canonicalFilePath(),
                 QFileInfo(options.payloadDir).canonicalFilePath()))
        fail(error, QStringLiteral("The output directory %1 lies inside the payload.").arg(outDir));
    else
        written =
            writeRelease(options, entries, previous, notes,
                         options.signingKey.isEmpty() ? nullptr : &key, outDir, summary, error);

    // A failed run leaves no trace, not even the directory it made (rmdir spares a non-empty one).
    if (!written && !outExisted)
        QDir().rmdir(outDir);
    return written;
}

} // namespace Updater::Release
