#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <memory>

namespace Updater {

// SHA-256 over data given block by block. CMake builds one implementation: Windows' own CNG
// (bcrypt, part of the system, so the program needs no DLL besides Qt's), elsewhere OpenSSL's
// libcrypto when it is found (it uses the processor's SHA instructions), and Qt's
// QCryptographicHash when neither is there. Not copyable; one thread at a time.
class Sha256
{
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256 &) = delete;
    Sha256 &operator=(const Sha256 &) = delete;

    // Adds size (>= 0) bytes at data. False once anything has failed; result() then fails too.
    bool add(const char *data, qint64 size);
    // The 32-byte digest of everything added; call it once. False when it cannot be computed.
    bool result(QByteArray *digest);

private:
    struct State;
    std::unique_ptr<State> state;
};

} // namespace Updater
