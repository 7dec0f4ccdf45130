#include "source/manifestfetch.h"

#include "testfiles.h"
#include "testhttpserver.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

using Updater::UpdateManifest;

// The manifest check with release keys, against signatures made by the real minisign program:
// what is accepted, and how each forged, damaged or missing signature and each release that the
// policy of a signed build refuses (stale, without its limits, older) is refused.
class TestManifestSignature : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void check_data();
    void check();

private:
    QString publicKey(const QString &name) const;

    QTemporaryDir m_dir;
};

namespace {

// A release as the publisher's tool writes it, with fields overridden (null removes one).
QByteArray manifestBytes(QJsonObject fields)
{
    fields.remove(QStringLiteral("installed"));
    QJsonObject manifest{
        {QStringLiteral("version"), QStringLiteral("3.1.0")},
        {QStringLiteral("package_url"), QStringLiteral("http://127.0.0.1:1/package.zip")},
        {QStringLiteral("package_hash"), QString(64, QLatin1Char('a'))},
        {QStringLiteral("package_size"), 1000},
        {QStringLiteral("expires"), QStringLiteral("2099-01-01T00:00:00Z")}};
    for (auto it = fields.begin(); it != fields.end(); ++it) {
        if (it.value().isNull())
            manifest.remove(it.key());
        else
            manifest.insert(it.key(), it.value());
    }
    return QJsonDocument(manifest).toJson();
}

const QString signedComment =
    QStringLiteral("timestamp:1700000000\tfile:manifest.json\tversion:3.1.0");

// The signature file's lines: untrusted comment, signature, trusted comment, global signature.
QByteArray tampered(const QByteArray &signature, const QString &how)
{
    QList<QByteArray> lines = signature.split('\n');
    if (how == QLatin1String("signature byte")) {
        QByteArray block = QByteArray::fromBase64(lines.at(1));
        block[block.size() - 1] = char(block.at(block.size() - 1) ^ 1);
        lines[1] = block.toBase64();
    } else if (how == QLatin1String("trusted comment")) {
        lines[2].replace("timestamp:1700000000", "timestamp:1700000001");
    } else if (how == QLatin1String("not UTF-8")) {
        // The untrusted comment is not signed: only the encoding check can refuse this.
        lines[0].append("\xff");
    } else if (how == QLatin1String("oversized")) {
        lines.append(QByteArray(5000, '\n'));
    }
    return lines.join('\n');
}

} // namespace

void TestManifestSignature::initTestCase()
{
    QVERIFY(m_dir.isValid());
    for (const QString &name : {QStringLiteral("release"), QStringLiteral("other")}) {
        QString output;
        QVERIFY2(TestSupport::runCommand(
                     QStringLiteral("minisign"),
                     {QStringLiteral("-G"), QStringLiteral("-W"), QStringLiteral("-p"),
                      m_dir.filePath(name + QStringLiteral(".pub")), QStringLiteral("-s"),
                      m_dir.filePath(name + QStringLiteral(".key"))},
                     &output),
                 qPrintable(QStringLiteral("minisign (scripts/install-deps.sh): ") + output));
    }
}

QString TestManifestSignature::publicKey(const QString &name) const
{
    return QString::fromLatin1(
        TestSupport::readFile(m_dir.filePath(name + QStringLiteral(".pub"))).split('\n').at(1));
}

void TestManifestSignature::check_data()
{
    QTest::addColumn<QString>("signer"); // empty: no signature on the server
    QTest::addColumn<QStringList>("signOptions");
    QTest::addColumn<QString>("comment");
    QTest::addColumn<QString>("tamper");
    QTest::addColumn<QStringList>("trusted");
    QTest::addColumn<QString>("message"); // empty: accepted

    const QString release = QStringLiteral("release");
    const QStringList releaseKey{release};
    const QString notValid = QStringLiteral("Manifest signature is not valid.");
    QTest::newRow("prehashed ED") << release << QStringList() << signedComment << QString()
                                  << releaseKey << QString();
    QTest::newRow("legacy Ed") << release << QStringList{QStringLiteral("-l")} << signedComment
                               << QString() << releaseKey << QString();
    QTest::newRow("either key of a rotation")
        << QStringLiteral("other") << QStringList() << signedComment << QString()
        << QStringList{release, QStringLiteral("other")} << QString();
    QTest::newRow("manifest byte changed")
        << release << QStringList() << signedComment << QStringLiteral("manifest byte")
        << releaseKey << notValid;
    QTest::newRow("signature byte changed")
        << release << QStringList() << signedComment << QStringLiteral("signature byte")
        << releaseKey << notValid;
    QTest::newRow("trusted comment changed")
        << release << QStringList() << signedComment << QStringLiteral("trusted comment")
        << releaseKey << notValid;
    QTest::newRow("another key") << QStringLiteral("other") << QStringList() << signedComment
                                 << QString() << releaseKey
                                 << QStringLiteral("Manifest is signed by an unknown key.");
    QTest::newRow("other version signed")
        << release << QStringList() << QStringLiteral("file:manifest.json version:3.0.9")
        << QString() << releaseKey << QStringLiteral("Signed version does not match the manifest.");
    QTest::newRow("no version signed")
        << release << QStringList() << QStringLiteral("file:manifest.json") << QString()
        << releaseKey << QStringLiteral("Signed version does not match the manifest.");
    QTest::newRow("404") << QString() << QStringList() << QString() << QString() << releaseKey
                         << QStringLiteral("Manifest signature is missing.");
    // Only the signature itself is held to its few kilobytes.
    QTest::newRow("404 with a large error page")
        << QString() << QStringList() << QString() << QStringLiteral("large error page")
        << releaseKey << QStringLiteral("Manifest signature is missing.");
    QTest::newRow("oversized") << release << QStringList() << signedComment
                               << QStringLiteral("oversized") << releaseKey << notValid;
    QTest::newRow("not UTF-8") << release << QStringList() << signedComment
                               << QStringLiteral("not UTF-8") << releaseKey << notValid;
    // A signed build's release policy, on manifests the key did sign: tamper is then the fields
    // that differ from a good release (null removes one), "installed" the version it goes over.
    const auto policyRow = [&](const char *name, const char *fields, const QString &message) {
        const QString version = QJsonDocument::fromJson(fields)
                                    .object()
                                    .value(QStringLiteral("version"))
                                    .toString(QStringLiteral("3.1.0"));
        QTest::newRow(name) << release << QStringList()
                            << QStringLiteral("file:manifest.json version:") + version
                            << QString::fromUtf8(fields) << releaseKey << message;
    };
    policyRow("without expires", R"({"expires": null})",
              QStringLiteral("Update manifest is missing expires."));
    policyRow("without package size", R"({"package_size": null})",
              QStringLiteral("Update manifest is missing package_size."));
    policyRow("expired", R"({"expires": "2020-05-01T12:00:00+02:00"})",
              QStringLiteral("Update manifest expired on 2020-05-01T10:00:00Z."));
    policyRow("older", R"({"version": "2.10.0"})",
              QStringLiteral("Update manifest version 2.10.0 is older than the installed 3.0.0."));
    policyRow("older, downgrade allowed", R"({"version": "2.10.0", "allow_downgrade": true})",
              QString());
    policyRow("same version: a repair", R"({"version": "3.0"})", QString());
    policyRow("newer by number, not by letters", R"({"version": "3.10.0", "installed": "3.9.5"})",
              QString());
    policyRow("version not dotted numbers", R"({"version": "3.1.0-rc1"})",
              QStringLiteral("Update manifest version 3.1.0-rc1 is not dotted numbers."));
    policyRow("installed version not dotted numbers", R"({"installed": "3.0 beta"})",
              QStringLiteral("Current version 3.0 beta is not dotted numbers, so a downgrade "
                             "cannot be ruled out."));
}

void TestManifestSignature::check()
{
    QFETCH(QString, signer);
    QFETCH(QStringList, signOptions);
    QFETCH(QString, comment);
    QFETCH(QString, tamper);
    QFETCH(QStringList, trusted);
    QFETCH(QString, message);
    const QJsonObject fields = QJsonDocument::fromJson(tamper.toUtf8()).object();

    TestHttpServer server;
    QVERIFY(server.start());
    QByteArray served = manifestBytes(fields);
    if (!signer.isEmpty()) {
        const QString manifestPath = m_dir.filePath(QStringLiteral("manifest.json"));
        QVERIFY(TestSupport::writeFile(manifestPath, served));
        QFile::remove(manifestPath + QStringLiteral(".minisig"));
        QString output;
        QVERIFY2(TestSupport::runCommand(
                     QStringLiteral("minisign"),
                     QStringList{QStringLiteral("-S"), QStringLiteral("-s"),
                                 m_dir.filePath(signer + QStringLiteral(".key")),
                                 QStringLiteral("-m"), manifestPath, QStringLiteral("-t"), comment}
                         + signOptions,
                     &output),
                 qPrintable(output));
        TestHttpServer::Response signature;
        signature.body =
            tampered(TestSupport::readFile(manifestPath + QStringLiteral(".minisig")), tamper);
        server.setResponse("/manifest.json.minisig", signature);
        if (tamper == QLatin1String("manifest byte"))
            served.replace("aaaa", "aaab");
    } else if (tamper == QLatin1String("large error page")) {
        TestHttpServer::Response page;
        page.status = 404;
        page.body = QByteArray(64 * 1024, 'x');
        server.setResponse("/manifest.json.minisig", page);
    }
    TestHttpServer::Response manifest;
    manifest.body = served;
    server.setResponse("/manifest.json", manifest);

    QStringList keys;
    for (const QString &name : trusted)
        keys << publicKey(name);
    UpdateManifest result;
    result.version = QStringLiteral("earlier");
    QString error;
    const bool accepted = Updater::fetchUpdateManifest(
        server.url(QStringLiteral("/manifest.json?arch=x64")), keys,
        fields.value(QStringLiteral("installed")).toString(QStringLiteral("3.0.0")), nullptr,
        &result, &error);

    QCOMPARE(error, message);
    QCOMPARE(accepted, message.isEmpty());
    QCOMPARE(result.version,
             accepted ? fields.value(QStringLiteral("version")).toString(QStringLiteral("3.1.0"))
                      : QStringLiteral("earlier"));
    // The signature lies beside the manifest, the query kept; nothing else is asked for.
    QStringList targets;
    for (const TestHttpServer::Request &request : server.requests())
        targets << QString::fromLatin1(request.target);
    QCOMPARE(targets, (QStringList{QStringLiteral("/manifest.json?arch=x64"),
                                   QStringLiteral("/manifest.json.minisig?arch=x64")}));
}

QTEST_GUILESS_MAIN(TestManifestSignature)
#include "tst_manifestsignature.moc"
