#pragma once

#include <QString>

namespace E2e {

// A throw-away certificate authority and a server certificate for 127.0.0.1 and localhost,
// made with the openssl command. The CA alone also stands in a hashed certificate folder, which
// an updater process can be given as its /etc/ssl/certs (UpdaterProcess::setTrustedCertificates).
class TestCertificates
{
public:
    // Writes everything into dir. False with a reason when openssl fails.
    bool create(const QString &dir, QString *error);

    QString serverCertificate() const { return m_serverCertificate; }
    QString serverKey() const { return m_serverKey; }
    QString trustedFolder() const { return m_trustedFolder; }

private:
    QString m_serverCertificate;
    QString m_serverKey;
    QString m_trustedFolder;
};

} // namespace E2e
