#include "source/packagehash.h"

#include "source/sha256.h"

#include <QByteArray>
#include <QDir>
#include <QFile>

namespace Updater {

namespace {

// Large blocks keep the per-read overhead negligible against the digest itself.
constexpr qint64 hashBlockSize = 1024 * 1024;

} // namespace

QString sha256OfFile(const QString &filePath, QString *error)
{
    if (error)
        error->clear();

    QFile file(filePath);
    // Unbuffered: every read fills our block directly instead of passing through QFile's buffer.
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        if (error)
            *error = QStringLiteral("Could not open %1").arg(QDir::toNativeSeparators(filePath));
        return QString();
    }

    Sha256 sha;
    QByteArray block(hashBlockSize, Qt::Uninitialized);
    bool complete = true;
    for (;;) {
        const qint64 count = file.read(block.data(), block.size());
        if (count == 0)
            break;
        if (count < 0 || !sha.add(block.constData(), count)) {
            complete = false;
            break;
        }
    }

    QByteArray digest;
    if (!complete || !sha.result(&digest)) {
        if (error)
            *error = QStringLiteral("Could not hash %1").arg(QDir::toNativeSeparators(filePath));
        return QString();
    }
    return QString::fromLatin1(digest.toHex());
}

bool verifyPackageHash(const QString &filePath, const QString &expectedHex, QString *error)
{
    const QString actual = sha256OfFile(filePath, error);
    if (actual.isEmpty())
        return false;
    if (actual.compare(expectedHex.trimmed(), Qt::CaseInsensitive) == 0)
        return true;
    if (error)
        *error = QStringLiteral("SHA-256 mismatch for %1").arg(QDir::toNativeSeparators(filePath));
    return false;
}

} // namespace Updater
