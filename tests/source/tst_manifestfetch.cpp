#include "source/manifestfetch.h"
#include "source/transfercancellation.h"

#include "testfiles.h"
#include "testhttpserver.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

using Updater::UpdateManifest;

// The manifest check: what is requested, what is accepted and how each rejection is reported.
class TestManifestFetch : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void rejected_data();
    void rejected();
    void unreachableServer();
    void tooLarge_data();
    void tooLarge();
    void accepted_data();
    void accepted();
    void request_data();
    void request();
    void cancelled();

private:
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<TestHttpServer> server;
};

namespace {

const QString currentVersion = QStringLiteral("2.4.1 %1");

QByteArray manifestJson(const QJsonObject &overrides)
{
    QJsonObject manifest{
        {QStringLiteral("version"), QStringLiteral("3.1.0")},
        {QStringLiteral("package_url"), QStringLiteral("http://127.0.0.1:1/package.zip")},
        {QStringLiteral("package_hash"), QString(64, QLatin1Char('a'))}};
    for (auto it = overrides.begin(); it != overrides.end(); ++it) {
        if (it.value().isNull()) // null stands for a key that is left out
            manifest.remove(it.key());
        else
            manifest.insert(it.key(), it.value());
    }
    return QJsonDocument(manifest).toJson();
}

// A manifest that an earlier check left, which a failed check must not replace.
UpdateManifest earlierManifest()
{
    UpdateManifest manifest;
    manifest.version = QStringLiteral("earlier");
    return manifest;
}

bool fetch(const QString &url, UpdateManifest *manifest, QString *error,
           const Updater::TransferCancellation *cancel = nullptr)
{
    error->clear();
    return Updater::fetchUpdateManifest(url, currentVersion, cancel, manifest, error);
}

} // namespace

void TestManifestFetch::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    server = std::make_unique<TestHttpServer>();
    QVERIFY(server->start());
}

void TestManifestFetch::rejected_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("message");      // URL stands for the manifest URL
    QTest::addColumn<QString>("versionAfter"); // the format is checked on a parsed manifest

    const QString notObject = QStringLiteral("Update manifest is not a JSON object.");
    QTest::newRow("404")
        << 404 << QByteArray("gone")
        << QStringLiteral(
               "Failed to fetch manifest: Error transferring URL - server replied: Not Found")
        << QStringLiteral("earlier");
    QTest::newRow("500")
        << 500 << manifestJson({})
        << QStringLiteral("Failed to fetch manifest: Error transferring URL - server replied: "
                          "Internal Server Error")
        << QStringLiteral("earlier");
    const QString earlier = QStringLiteral("earlier");
    QTest::newRow("empty body") << 200 << QByteArray() << notObject << earlier;
    QTest::newRow("html page") << 200 << QByteArray("<html><body>Portal login</body></html>")
                               << notObject << earlier;
    QTest::newRow("json array") << 200 << QByteArray("[{\"version\": \"3.1.0\"}]") << notObject
                                << earlier;
    QTest::newRow("version and url missing")
        << 200
        << manifestJson({{QStringLiteral("version"), QJsonValue::Null},
                         {QStringLiteral("package_url"), QJsonValue::Null}})
        << QStringLiteral("Update manifest is missing version.") << earlier;
    QTest::newRow("hash blank") << 200
                                << manifestJson(
                                       {{QStringLiteral("package_hash"), QStringLiteral("  ")}})
                                << QStringLiteral("Update manifest is missing package_hash.")
                                << earlier;
    QTest::newRow("tar.gz format")
        << 200 << manifestJson({{QStringLiteral("package_format"), QStringLiteral(" tar.gz ")}})
        << QStringLiteral("Unsupported package format: tar.gz") << QStringLiteral("3.1.0");
    QTest::newRow("zip with a suffix")
        << 200 << manifestJson({{QStringLiteral("package_format"), QStringLiteral("ZIP64")}})
        << QStringLiteral("Unsupported package format: ZIP64") << QStringLiteral("3.1.0");
    // Without a key versions are not compared, but a manifest that names its end is held to it.
    QTest::newRow("expired") << 200
                             << manifestJson({{QStringLiteral("expires"),
                                               QStringLiteral("2001-02-03T04:05:06Z")}})
                             << QStringLiteral("Update manifest expired on 2001-02-03T04:05:06Z.")
                             << earlier;
}

void TestManifestFetch::rejected()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QString, message);
    QFETCH(QString, versionAfter);
    server->setResponse("/manifest.json", answer(status, body));
    const QString url = server->url(QStringLiteral("/manifest.json"));

    UpdateManifest manifest = earlierManifest();
    QString error;
    QVERIFY(!fetch(url, &manifest, &error));
    QCOMPARE(error, message.replace(QLatin1String("URL"), url));
    QCOMPARE(manifest.version, versionAfter);
    QCOMPARE(server->requests().size(), 1);
    // The check writes nothing.
    QVERIFY(QDir(dir->path()).isEmpty());
}

void TestManifestFetch::unreachableServer()
{
    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
    const quint16 port = closed.serverPort();
    closed.close();

    UpdateManifest manifest = earlierManifest();
    QString error;
    QVERIFY(
        !fetch(QStringLiteral("http://127.0.0.1:%1/manifest.json").arg(port), &manifest, &error));
    QCOMPARE(error, QStringLiteral("Failed to fetch manifest: Connection refused"));
    QCOMPARE(manifest.version, QStringLiteral("earlier"));
}

void TestManifestFetch::tooLarge_data()
{
    QTest::addColumn<int>("framing");
    QTest::addColumn<qint64>("stallAfter"); // the server sends this much and then waits forever
    QTest::addColumn<QByteArray>("encoding");

    const qint64 limit = 1024 * 1024;
    QTest::newRow("announced") << int(TestHttpServer::Framing::ContentLength) << qint64(0)
                               << QByteArray();
    QTest::newRow("endless") << int(TestHttpServer::Framing::UntilClose) << limit + 1
                             << QByteArray();
    // Identity is asked for: a compressed answer is refused at its headers, not inflated.
    QTest::newRow("compressed") << int(TestHttpServer::Framing::ContentLength) << qint64(0)
                                << QByteArray("gzip");
}

void TestManifestFetch::tooLarge()
{
    QFETCH(int, framing);
    QFETCH(qint64, stallAfter);
    QFETCH(QByteArray, encoding);
    TestHttpServer::Response response = answer(200, QByteArray(2 * 1024 * 1024, ' '));
    response.framing = TestHttpServer::Framing(framing);
    response.pauseAfter = stallAfter;
    response.pauseMs = -1;
    if (!encoding.isEmpty())
        response.headers.append({"Content-Encoding", encoding});
    server->setResponse("/manifest.json", response);
    // Turns a check that keeps waiting for the rest into a failure rather than a hang.
    Updater::TransferCancellation cancel;
    QTimer::singleShot(20000, &cancel, &Updater::TransferCancellation::cancel);

    UpdateManifest manifest = earlierManifest();
    QString error;
    QVERIFY(!fetch(server->url(QStringLiteral("/manifest.json")), &manifest, &error, &cancel));
    QCOMPARE(error, encoding.isEmpty() ? QStringLiteral("Manifest is too large.")
                                       : QStringLiteral("Failed to fetch manifest: the server "
                                                        "sent the body compressed (gzip)"));
    QCOMPARE(manifest.version, QStringLiteral("earlier"));
    QTRY_COMPARE_WITH_TIMEOUT(server->abandonedResponses(), 1, TestSupport::eventDeadlineMs);
}

void TestManifestFetch::accepted_data()
{
    QTest::addColumn<QJsonObject>("overrides");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("format");

    QTest::newRow("format missing")
        << QJsonObject{} << QStringLiteral("3.1.0") << QStringLiteral("zip");
    QTest::newRow("format upper case")
        << QJsonObject{{QStringLiteral("package_format"), QStringLiteral("ZIP")}}
        << QStringLiteral("3.1.0") << QStringLiteral("ZIP");
    QTest::newRow("format mixed case")
        << QJsonObject{{QStringLiteral("package_format"), QStringLiteral("Zip")}}
        << QStringLiteral("3.1.0") << QStringLiteral("Zip");
    // Versions are taken, never compared with the installed one.
    QTest::newRow("same version as installed")
        << QJsonObject{{QStringLiteral("version"), currentVersion}} << currentVersion
        << QStringLiteral("zip");
    QTest::newRow("older version with a marker")
        << QJsonObject{{QStringLiteral("version"), QStringLiteral("1.0 %2")}}
        << QStringLiteral("1.0 %2") << QStringLiteral("zip");
}

void TestManifestFetch::accepted()
{
    QFETCH(QJsonObject, overrides);
    overrides.insert(QStringLiteral("package_url"), server->url(QStringLiteral("/absent.zip")));
    server->setResponse("/manifest.json", answer(200, manifestJson(overrides)));

    UpdateManifest manifest = earlierManifest();
    QString error;
    QVERIFY2(fetch(server->url(QStringLiteral("/manifest.json")), &manifest, &error),
             qPrintable(error));
    QVERIFY(error.isEmpty());
    QTEST(manifest.version, "version");
    QTEST(manifest.packageFormat, "format");
    QCOMPARE(manifest.packageUrl, server->url(QStringLiteral("/absent.zip")));
    // Only the manifest is asked for; the package is the download's business.
    QCOMPARE(server->requests().size(), 1);
}

void TestManifestFetch::request_data()
{
    QTest::addColumn<QString>("pathAsGiven");
    QTest::addColumn<QByteArray>("target");

    QTest::newRow("plain path") << QStringLiteral("/updates/manifest.json")
                                << QByteArray("/updates/manifest.json");
    // The query of the given URL is sent as it is; nothing (channel, version) is added.
    QTest::newRow("own query kept") << QStringLiteral("/manifest.json?product=vpn&beta=0")
                                    << QByteArray("/manifest.json?product=vpn&beta=0");
    QTest::newRow("space in the path")
        << QStringLiteral("/my updates/manifest.json") << QByteArray("/my%20updates/manifest.json");
    QTest::newRow("escaped text kept")
        << QStringLiteral("/a%2Fb/manifest.json") << QByteArray("/a%2Fb/manifest.json");
}

void TestManifestFetch::request()
{
    QFETCH(QString, pathAsGiven);
    QFETCH(QByteArray, target);
    UpdateManifest manifest;
    QString error;
    QVERIFY(!fetch(server->url(pathAsGiven), &manifest, &error));

    QCOMPARE(server->requests().size(), 1);
    const TestHttpServer::Request sent = server->requests().constFirst();
    QCOMPARE(sent.method, QByteArray("GET"));
    QCOMPARE(sent.target, target);
    QCOMPARE(sent.headers.value("user-agent"), QByteArray("Orvalink v3"));
    QCOMPARE(sent.headers.value("accept-encoding"), QByteArray("identity"));
}

void TestManifestFetch::cancelled()
{
    // The body stops half way and the server waits for as long as the client stays; a
    // cancellation (the window closed) ends the wait and fails the check.
    TestHttpServer::Response stalled = answer(200, manifestJson({}));
    stalled.pauseAfter = stalled.body.size() / 2;
    stalled.pauseMs = -1;
    server->setResponse("/manifest.json", stalled);
    Updater::TransferCancellation cancel;
    connect(server.get(), &TestHttpServer::paused, &cancel, &Updater::TransferCancellation::cancel);

    UpdateManifest manifest = earlierManifest();
    QString error;
    QVERIFY(!fetch(server->url(QStringLiteral("/manifest.json")), &manifest, &error, &cancel));
    QCOMPARE(error, QStringLiteral("Failed to fetch manifest: Operation canceled"));
    QCOMPARE(manifest.version, QStringLiteral("earlier"));
    QTRY_COMPARE_WITH_TIMEOUT(server->abandonedResponses(), 1, TestSupport::eventDeadlineMs);
}

QTEST_GUILESS_MAIN(TestManifestFetch)
#include "tst_manifestfetch.moc"
