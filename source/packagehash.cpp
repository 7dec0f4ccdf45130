#include "source/packagehash.h"

#include <QByteArray>
#include <QFile>

#ifdef UPDATER_HAVE_OPENSSL_SHA256
#include <openssl/evp.h>
#else
#include <QCryptographicHash>
#endif

namespace Updater {

namespace {

// Large blocks keep the per-read overhead negligible against the digest itself.
constexpr qint64 hashBlockSize = 1024 * 1024;

#ifdef UPDATER_HAVE_OPENSSL_SHA256
// libcrypto's SHA-256 uses the processor's SHA extensions where present, several times faster
// than Qt's portable implementation.
class Sha256
{
public:
    Sha256()
        : context(EVP_MD_CTX_new())
    {
        valid = context && EVP_DigestInit_ex(context, EVP_sha256(), nullptr) == 1;
    }
    ~Sha256() { EVP_MD_CTX_free(context); }
    Sha256(const Sha256 &) = delete;
    Sha256 &operator=(const Sha256 &) = delete;

    bool add(const char *data, qint64 size)
    {
        valid = valid && EVP_DigestUpdate(context, data, static_cast<size_t>(size)) == 1;
        return valid;
    }

    bool result(QByteArray *digest)
    {
        unsigned char bytes[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        if (!valid || EVP_DigestFinal_ex(context, bytes, &length) != 1)
            return false;
        *digest = QByteArray(reinterpret_cast<const char *>(bytes), static_cast<int>(length));
        return true;
    }

private:
    EVP_MD_CTX *context;
    bool valid = false;
};
#else
class Sha256
{
public:
    bool add(const char *data, qint64 size)
    {
        hash.addData(QByteArrayView(data, size));
        return true;
    }

    bool result(QByteArray *digest)
    {
        *digest = hash.result();
        return true;
    }

private:
    QCryptographicHash hash{QCryptographicHash::Sha256};
};
#endif

} // namespace

QString sha256OfFile(const QString &filePath, QString *error)
{
    if (error)
        error->clear();

    QFile file(filePath);
    // Unbuffered: every read fills our block directly instead of passing through QFile's buffer.
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        if (error)
            *error = QStringLiteral("Could not open %1").arg(filePath);
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
            *error = QStringLiteral("Could not hash %1").arg(filePath);
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
        *error = QStringLiteral("SHA-256 mismatch for %1").arg(filePath);
    return false;
}

} // namespace Updater
