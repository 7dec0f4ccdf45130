#pragma once

#include <QByteArray>
#include <QString>

namespace Updater::Release {

// A minisign secret key, opened. The secret bytes are wiped when it goes.
class SigningKey
{
public:
    SigningKey() = default;
    ~SigningKey();
    SigningKey(const SigningKey &) = delete;
    SigningKey &operator=(const SigningKey &) = delete;

    // Reads the minisign secret key file at path (as `minisign -G` writes it, with or without a
    // password). An encrypted key's password is the first line of passwordFile when one is
    // given, else it is asked for on the terminal without echo. False with one English message
    // in *error (may be null): a file that cannot be read or is not a minisign Ed25519 key, a
    // wrong password, no terminal to ask on, a damaged key.
    bool load(const QString &path, const QString &passwordFile, QString *error);

    // The key id as minisign prints it (16 hex digits) and the public key in minisign's base64.
    QString keyIdText() const;
    QString publicKey() const;

    // The text of a .minisig file: a prehashed ("ED") signature of data whose trusted comment is
    // trustedComment (one line).
    QByteArray sign(const QByteArray &data, const QString &trustedComment) const;

private:
    QByteArray m_keyId;     // 8 bytes
    QByteArray m_secretKey; // 64 bytes: the seed followed by the public key
};

} // namespace Updater::Release
