#include "source/offlinerelease.h"

#include "common/failure.h"
#include "source/manifestfetch.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUrl>

namespace Updater {

namespace {

QString notSignedRelease()
{
    return QStringLiteral("Offline payload is not a signed release.");
}

// Reads no more than one byte past limit, so that a file that does not end (a device, a file
// that keeps growing) is refused rather than read for ever.
bool readBounded(const QString &path, qint64 limit, QByteArray *bytes, bool *tooLarge,
                 QString *error)
{
    if (!QFileInfo(path).isFile())
        return fail(error, notSignedRelease());
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return fail(error, QStringLiteral("Could not read %1").arg(QDir::toNativeSeparators(path)));
    *bytes = file.read(limit + 1);
    *tooLarge = bytes->size() > limit;
    return true;
}

} // namespace

bool readOfflineRelease(const QString &folder, const QStringList &publicKeys,
                        const QString &currentVersion, UpdateManifest *manifest,
                        QString *packageFile, QString *error)
{
    const QDir dir(folder);
    QByteArray manifestBytes;
    QByteArray signature;
    bool tooLarge = false;
    if (!readBounded(dir.filePath(QStringLiteral("manifest.json")), manifestSizeLimit,
                     &manifestBytes, &tooLarge, error))
        return false;
    if (tooLarge)
        return fail(error, QStringLiteral("Manifest is too large."));
    if (!readBounded(dir.filePath(QStringLiteral("manifest.json.minisig")), signatureSizeLimit,
                     &signature, &tooLarge, error))
        return false;
    if (tooLarge)
        return fail(error, QStringLiteral("Manifest signature is not valid."));

    UpdateManifest release;
    if (!acceptManifest(manifestBytes, signature, publicKeys, currentVersion, &release, error))
        return false;
    // The name is the signed manifest's; one that leads out of the folder is no release of ours.
    const QString name = QUrl(release.packageUrl).fileName();
    if (name.isEmpty() || name == QLatin1String("..") || name.contains(QLatin1Char('\\'))
        || !QFileInfo(dir.filePath(name)).isFile())
        return fail(error, notSignedRelease());
    *manifest = release;
    *packageFile = dir.filePath(name);
    return true;
}

} // namespace Updater
