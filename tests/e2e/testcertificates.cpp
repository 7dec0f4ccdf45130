#include "testcertificates.h"

#include "e2eharness.h"

#include <QDir>
#include <QFile>

namespace E2e {

bool TestCertificates::create(const QString &dir, QString *error)
{
    const QDir base(dir);
    base.mkpath(QStringLiteral("."));
    const QString caKey = base.filePath(QStringLiteral("ca.key"));
    const QString serverRequest = base.filePath(QStringLiteral("server.csr"));
    const QString extensions = base.filePath(QStringLiteral("server.ext"));
    const QString caCertificate = base.filePath(QStringLiteral("ca.pem"));
    m_serverCertificate = base.filePath(QStringLiteral("server.pem"));
    m_serverKey = base.filePath(QStringLiteral("server.key"));
    m_trustedFolder = base.filePath(QStringLiteral("trusted"));

    if (!writeFile(extensions, "basicConstraints=critical,CA:FALSE\n"
                               "keyUsage=critical,digitalSignature,keyEncipherment\n"
                               "extendedKeyUsage=serverAuth\n"
                               "subjectAltName=IP:127.0.0.1,DNS:localhost\n")) {
        *error = QStringLiteral("cannot write %1").arg(extensions);
        return false;
    }

    // EC keys keep the generation quick.
    const QList<QStringList> steps{
        {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
         QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
         QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
         QStringLiteral("-keyout"), caKey, QStringLiteral("-out"), caCertificate,
         QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"),
         QStringLiteral("/CN=Orvalink Test CA"), QStringLiteral("-addext"),
         QStringLiteral("basicConstraints=critical,CA:TRUE"), QStringLiteral("-addext"),
         QStringLiteral("keyUsage=critical,keyCertSign,cRLSign")},
        {QStringLiteral("req"), QStringLiteral("-newkey"), QStringLiteral("ec"),
         QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:prime256v1"),
         QStringLiteral("-nodes"), QStringLiteral("-keyout"), m_serverKey, QStringLiteral("-out"),
         serverRequest, QStringLiteral("-subj"), QStringLiteral("/CN=localhost")},
        {QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"), serverRequest,
         QStringLiteral("-CA"), caCertificate, QStringLiteral("-CAkey"), caKey,
         QStringLiteral("-CAcreateserial"), QStringLiteral("-out"), m_serverCertificate,
         QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-extfile"), extensions},
    };
    for (const QStringList &arguments : steps) {
        QString output;
        if (!runCommand(QStringLiteral("openssl"), arguments, &output, dir)) {
            *error = QStringLiteral("openssl %1 failed: %2").arg(arguments.first(), output);
            return false;
        }
    }

    QDir().mkpath(m_trustedFolder);
    const QString trustedCa =
        QDir(m_trustedFolder).filePath(QStringLiteral("orvalink-test-ca.pem"));
    QString output;
    if (!QFile::copy(caCertificate, trustedCa)
        || !runCommand(QStringLiteral("openssl"), {QStringLiteral("rehash"), m_trustedFolder},
                       &output)) {
        *error = QStringLiteral("cannot prepare the trusted folder: %1").arg(output);
        return false;
    }
    return true;
}

} // namespace E2e
