#include "tools/release/releasesigner.h"

#include "common/failure.h"

#include <QFile>

#include <algorithm>
#include <fcntl.h>
#include <sodium.h>
#include <termios.h>
#include <unistd.h>

namespace Updater::Release {

namespace {

// The secret key file's decoded line: algorithms, the scrypt parameters, and the key number
// (key id, secret key, checksum), which a password-protected key holds XORed with a scrypt
// stream of the password.
constexpr int algorithmSize = 2;
constexpr int saltSize = crypto_pwhash_scryptsalsa208sha256_SALTBYTES;
constexpr int keyIdSize = 8;
constexpr int checksumSize = crypto_generichash_BYTES;
constexpr int keyNumberSize = keyIdSize + crypto_sign_SECRETKEYBYTES + checksumSize;
constexpr int saltAt = 3 * algorithmSize;
constexpr int opsLimitAt = saltAt + saltSize;
constexpr int memLimitAt = opsLimitAt + 8;
constexpr int keyNumberAt = memLimitAt + 8;
constexpr int secretKeyFileSize = keyNumberAt + keyNumberSize;

// Wipes a buffer of secret bytes however the function that holds it returns.
class Wiped
{
public:
    explicit Wiped(QByteArray *array)
        : m_array(array)
    {
    }
    ~Wiped() { sodium_memzero(m_array->data(), static_cast<size_t>(m_array->size())); }
    Wiped(const Wiped &) = delete;
    Wiped &operator=(const Wiped &) = delete;

private:
    QByteArray *m_array;
};

unsigned char *bytes(QByteArray &array)
{
    return reinterpret_cast<unsigned char *>(array.data());
}

const unsigned char *bytes(const QByteArray &array)
{
    return reinterpret_cast<const unsigned char *>(array.constData());
}

quint64 littleEndian64(const QByteArray &data, int at)
{
    quint64 value = 0;
    for (int i = 7; i >= 0; --i)
        value = value << 8 | static_cast<unsigned char>(data.at(at + i));
    return value;
}

// The first line of the file, without its line end.
bool readPasswordFile(const QString &path, QByteArray *password, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return fail(
            error,
            QStringLiteral("Cannot read the password file %1: %2").arg(path, file.errorString()));
    *password = file.readLine();
    while (password->endsWith('\n') || password->endsWith('\r'))
        password->chop(1);
    return true;
}

bool readPasswordFromTerminal(const QString &keyPath, QByteArray *password, QString *error)
{
    const int terminal = ::open("/dev/tty", O_RDWR | O_CLOEXEC);
    if (terminal < 0)
        return fail(error, QStringLiteral("The secret key %1 is protected by a password and there "
                                          "is no terminal to ask for it: give "
                                          "--sign-password-file FILE.")
                               .arg(keyPath));
    termios saved;
    const bool quiet = ::tcgetattr(terminal, &saved) == 0;
    if (quiet) {
        termios silent = saved;
        silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(terminal, TCSAFLUSH, &silent);
    }
    const QByteArray prompt = QStringLiteral("Password for %1: ").arg(keyPath).toLocal8Bit();
    [[maybe_unused]] const ssize_t shown = ::write(terminal, prompt.constData(), prompt.size());

    password->clear();
    char c = 0;
    while (::read(terminal, &c, 1) == 1 && c != '\n')
        password->append(c);
    if (password->endsWith('\r'))
        password->chop(1);

    if (quiet)
        ::tcsetattr(terminal, TCSAFLUSH, &saved);
    [[maybe_unused]] const ssize_t newline = ::write(terminal, "\n", 1);
    ::close(terminal);
    return true;
}

QByteArray base64Line(const QByteArray &file)
{
    for (const QByteArray &line : file.split('\n')) {
        const QByteArray trimmed = line.trimmed();
        if (!trimmed.isEmpty() && !trimmed.startsWith("untrusted comment:"))
            return trimmed;
    }
    return QByteArray();
}

} // namespace

SigningKey::~SigningKey()
{
    sodium_memzero(m_secretKey.data(), static_cast<size_t>(m_secretKey.size()));
}

bool SigningKey::load(const QString &path, const QString &passwordFile, QString *error)
{
    if (sodium_init() < 0)
        return fail(error, QStringLiteral("libsodium cannot be initialised."));

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return fail(
            error,
            QStringLiteral("Cannot read the secret key %1: %2").arg(path, file.errorString()));
    QByteArray::FromBase64Result decoded = QByteArray::fromBase64Encoding(
        base64Line(file.read(4096)), QByteArray::AbortOnBase64DecodingErrors);
    // Moved, not shared: wiping a shared array would wipe a copy of it.
    QByteArray data = std::move(decoded.decoded);
    const Wiped wipedData(&data);
    const QByteArray kdf = data.mid(algorithmSize, algorithmSize);
    const bool encrypted = kdf == "Sc";
    if (!decoded || data.size() != secretKeyFileSize || !data.startsWith("Ed")
        || data.mid(2 * algorithmSize, algorithmSize) != "B2"
        || (!encrypted && kdf != QByteArray(2, '\0')))
        return fail(error, QStringLiteral("%1 is not a minisign Ed25519 secret key.").arg(path));

    QByteArray keyNumber = data.mid(keyNumberAt);
    const Wiped wipedKeyNumber(&keyNumber);
    if (encrypted) {
        QByteArray password;
        const Wiped wipedPassword(&password);
        QByteArray stream(keyNumberSize, Qt::Uninitialized);
        const Wiped wipedStream(&stream);
        if (!(passwordFile.isEmpty() ? readPasswordFromTerminal(path, &password, error)
                                     : readPasswordFile(passwordFile, &password, error)))
            return false;
        const int derived = crypto_pwhash_scryptsalsa208sha256(
            bytes(stream), static_cast<unsigned long long>(stream.size()), password.constData(),
            static_cast<unsigned long long>(password.size()), bytes(data) + saltAt,
            littleEndian64(data, opsLimitAt),
            static_cast<size_t>(littleEndian64(data, memLimitAt)));
        if (derived != 0)
            return fail(error, QStringLiteral("Cannot derive the key of %1 from its password (out "
                                              "of memory?).")
                                   .arg(path));
        for (int i = 0; i < keyNumberSize; ++i)
            keyNumber[i] = static_cast<char>(keyNumber.at(i) ^ stream.at(i));
    }

    const QByteArray keyId = keyNumber.left(keyIdSize);
    QByteArray secretKey = keyNumber.mid(keyIdSize, crypto_sign_SECRETKEYBYTES);
    const Wiped wipedSecretKey(&secretKey);
    const QByteArray checksum = keyNumber.right(checksumSize);
    QByteArray expected(checksumSize, Qt::Uninitialized);
    QByteArray summed = QByteArray("Ed") + keyId + secretKey;
    const Wiped wipedSummed(&summed);
    crypto_generichash(bytes(expected), checksumSize, bytes(summed),
                       static_cast<unsigned long long>(summed.size()), nullptr, 0);
    // minisign 0.11 leaves the checksum of a key without a password zero; the seed check below
    // still catches a damaged one.
    const bool checksumMatches =
        sodium_memcmp(expected.constData(), checksum.constData(), checksumSize) == 0
        || (!encrypted && sodium_is_zero(bytes(checksum), checksumSize));
    QByteArray publicKey(crypto_sign_PUBLICKEYBYTES, Qt::Uninitialized);
    QByteArray rebuilt(crypto_sign_SECRETKEYBYTES, Qt::Uninitialized);
    const Wiped wipedRebuilt(&rebuilt);
    crypto_sign_seed_keypair(bytes(publicKey), bytes(rebuilt), bytes(secretKey));
    const bool consistent =
        sodium_memcmp(rebuilt.constData(), secretKey.constData(), crypto_sign_SECRETKEYBYTES) == 0;
    if (!checksumMatches && encrypted)
        return fail(error, QStringLiteral("Wrong password for the secret key %1.").arg(path));
    if (!checksumMatches || !consistent)
        return fail(error, QStringLiteral("The secret key %1 is damaged.").arg(path));

    m_keyId = keyId;
    // A deep copy: the local one is wiped on return.
    m_secretKey = QByteArray(secretKey.constData(), secretKey.size());
    return true;
}

QString SigningKey::keyIdText() const
{
    // minisign prints the id as a little-endian number.
    QByteArray reversed = m_keyId;
    std::reverse(reversed.begin(), reversed.end());
    return QString::fromLatin1(reversed.toHex().toUpper());
}

QString SigningKey::publicKey() const
{
    return QString::fromLatin1(
        (QByteArray("Ed") + m_keyId + m_secretKey.mid(crypto_sign_SECRETKEYBYTES / 2)).toBase64());
}

QByteArray SigningKey::sign(const QByteArray &data, const QString &trustedComment) const
{
    QByteArray prehash(crypto_generichash_BYTES_MAX, Qt::Uninitialized);
    crypto_generichash(bytes(prehash), crypto_generichash_BYTES_MAX, bytes(data),
                       static_cast<unsigned long long>(data.size()), nullptr, 0);
    QByteArray signature(crypto_sign_BYTES, Qt::Uninitialized);
    crypto_sign_detached(bytes(signature), nullptr, bytes(prehash),
                         static_cast<unsigned long long>(prehash.size()), bytes(m_secretKey));

    const QByteArray comment = trustedComment.toUtf8();
    const QByteArray globalMessage = signature + comment;
    QByteArray globalSignature(crypto_sign_BYTES, Qt::Uninitialized);
    crypto_sign_detached(bytes(globalSignature), nullptr, bytes(globalMessage),
                         static_cast<unsigned long long>(globalMessage.size()), bytes(m_secretKey));

    return "untrusted comment: signature from orvalink-release, key " + keyIdText().toLatin1()
           + '\n' + (QByteArray("ED") + m_keyId + signature).toBase64() + '\n'
           + "trusted comment: " + comment + '\n' + globalSignature.toBase64() + '\n';
}

} // namespace Updater::Release
