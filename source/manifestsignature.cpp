#include "source/manifestsignature.h"

#include "common/failure.h"

#include <QRegularExpression>
#include <QStringDecoder>

#ifdef UPDATER_HAVE_SODIUM
#include <sodium.h>
#endif

namespace Updater {

namespace {

constexpr qsizetype keyIdSize = 8;
constexpr qsizetype publicKeySize = 32;
constexpr qsizetype signatureSize = 64;

#ifdef UPDATER_HAVE_SODIUM
bool sodiumReady()
{
    static const bool ready = sodium_init() >= 0;
    return ready;
}

QByteArray blake2b512(const QByteArray &data)
{
    QByteArray digest(crypto_generichash_BYTES_MAX, Qt::Uninitialized);
    if (!sodiumReady()
        || crypto_generichash(reinterpret_cast<unsigned char *>(digest.data()),
                              static_cast<size_t>(digest.size()),
                              reinterpret_cast<const unsigned char *>(data.constData()),
                              static_cast<unsigned long long>(data.size()), nullptr, 0)
               != 0)
        return QByteArray();
    return digest;
}

bool ed25519Verifies(const QByteArray &signature, const QByteArray &message, const QByteArray &key)
{
    static_assert(crypto_sign_BYTES == signatureSize
                  && crypto_sign_PUBLICKEYBYTES == publicKeySize);
    return sodiumReady()
           && crypto_sign_verify_detached(
                  reinterpret_cast<const unsigned char *>(signature.constData()),
                  reinterpret_cast<const unsigned char *>(message.constData()),
                  static_cast<unsigned long long>(message.size()),
                  reinterpret_cast<const unsigned char *>(key.constData()))
                  == 0;
}
#else
// Only a build without a release key may lack libsodium; should a key ever reach such a build,
// nothing can be checked, so nothing is accepted.
QByteArray blake2b512(const QByteArray &)
{
    return QByteArray();
}

bool ed25519Verifies(const QByteArray &, const QByteArray &, const QByteArray &)
{
    return false;
}
#endif

// Strict: any character outside the alphabet, or a decoded size other than expected, fails.
bool decodeBase64(const QByteArray &text, qsizetype size, QByteArray *out)
{
    const QByteArray::FromBase64Result result =
        QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    if (!result || result.decoded.size() != size)
        return false;
    *out = result.decoded;
    return true;
}

struct PublicKey
{
    QByteArray id;
    QByteArray key;
};

bool parsePublicKey(const QString &text, PublicKey *key)
{
    QByteArray bytes;
    if (!decodeBase64(text.trimmed().toLatin1(), 2 + keyIdSize + publicKeySize, &bytes)
        || !bytes.startsWith("Ed"))
        return false;
    key->id = bytes.mid(2, keyIdSize);
    key->key = bytes.mid(2 + keyIdSize);
    return true;
}

struct SignatureFile
{
    QByteArray algorithm;
    QByteArray keyId;
    QByteArray signature;
    QByteArray trustedComment;
    QByteArray globalSignature;
};

bool parseSignatureFile(const QByteArray &bytes, SignatureFile *out)
{
    QStringDecoder utf8(QStringDecoder::Utf8);
    [[maybe_unused]] const QString text = utf8.decode(bytes);
    if (utf8.hasError())
        return false;

    QList<QByteArray> lines = bytes.split('\n');
    for (QByteArray &line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    // The file ends with a newline; nothing else may follow the four lines.
    while (!lines.isEmpty() && lines.constLast().isEmpty())
        lines.removeLast();
    const QByteArray untrustedPrefix("untrusted comment: ");
    const QByteArray trustedPrefix("trusted comment: ");
    if (lines.size() != 4 || !lines.at(0).startsWith(untrustedPrefix)
        || !lines.at(2).startsWith(trustedPrefix))
        return false;

    QByteArray block;
    if (!decodeBase64(lines.at(1), 2 + keyIdSize + signatureSize, &block)
        || !decodeBase64(lines.at(3), signatureSize, &out->globalSignature))
        return false;
    out->algorithm = block.left(2);
    out->keyId = block.mid(2, keyIdSize);
    out->signature = block.mid(2 + keyIdSize);
    out->trustedComment = lines.at(2).mid(trustedPrefix.size());
    return true;
}

} // namespace

bool verifyManifestSignature(const QByteArray &manifest, const QByteArray &signatureFile,
                             const QStringList &publicKeys, QString *trustedComment, QString *error)
{
    const QString notValid = QStringLiteral("Manifest signature is not valid.");
    SignatureFile signature;
    if (!parseSignatureFile(signatureFile, &signature))
        return fail(error, notValid);

    QByteArray signedBytes;
    if (signature.algorithm == "ED")
        signedBytes = blake2b512(manifest);
    else if (signature.algorithm == "Ed")
        signedBytes = manifest;
    else
        return fail(error, notValid);

    bool knownKey = false;
    for (const QString &text : publicKeys) {
        PublicKey key;
        if (!parsePublicKey(text, &key) || key.id != signature.keyId)
            continue;
        knownKey = true;
        // The global signature binds the trusted comment (and with it the version) to this
        // signature; without it anyone could rewrite the comment of a genuine signature.
        if (ed25519Verifies(signature.signature, signedBytes, key.key)
            && ed25519Verifies(signature.globalSignature,
                               signature.signature + signature.trustedComment, key.key)) {
            if (trustedComment)
                *trustedComment = QString::fromUtf8(signature.trustedComment);
            return true;
        }
    }
    return fail(error,
                knownKey ? notValid : QStringLiteral("Manifest is signed by an unknown key."));
}

QString signedVersion(const QString &trustedComment)
{
    static const QRegularExpression separators(QStringLiteral("[\\t ]+"));
    const QString prefix = QStringLiteral("version:");
    QString version;
    bool found = false;
    for (const QString &field : trustedComment.split(separators, Qt::SkipEmptyParts)) {
        if (!field.startsWith(prefix))
            continue;
        const QString value = field.mid(prefix.size());
        if (found && value != version)
            return QString();
        version = value;
        found = true;
    }
    return version;
}

} // namespace Updater
