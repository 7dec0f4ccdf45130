#include "testhttpserver.h"
#include "ui/updaterwindow.h"
#include "windowprobe.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

using Updater::UpdaterWindow;

// The manifest check as the window runs it: what is requested, what is accepted and how each
// rejection is reported. Accepted manifests point at a package the server does not have, so the
// run ends in the download that follows.
class TestManifestCheck : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void rejected_data();
    void rejected();
    void unreachableServer();
    void accepted_data();
    void accepted();
    void request_data();
    void request();

private:
    Updater::UpdaterOptions optionsFor(const QString &manifestUrl) const;

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<TestHttpServer> server;
};

namespace {

const QString currentVersion = QStringLiteral("2.4.1 %1");

QByteArray manifestJson(const QJsonObject &overrides)
{
    QJsonObject manifest{{QStringLiteral("version"), QStringLiteral("3.1.0")},
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

TestHttpServer::Response answer(int status, const QByteArray &body)
{
    TestHttpServer::Response response;
    response.status = status;
    response.body = body;
    return response;
}

bool runToEnd(UpdaterWindow *window, const WindowProbe &probe)
{
    window->show();
    return QTest::qWaitFor([&probe] { return probe.closeEnabled(); }, 20000);
}

} // namespace

void TestManifestCheck::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    server = std::make_unique<TestHttpServer>();
    QVERIFY(server->start());
}

Updater::UpdaterOptions TestManifestCheck::optionsFor(const QString &manifestUrl) const
{
    Updater::UpdaterOptions options;
    options.manifestUrl = manifestUrl;
    options.installDir = dir->filePath(QStringLiteral("Orvalink"));
    options.currentVersion = currentVersion;
    options.channel = QStringLiteral("stable");
    return options;
}

void TestManifestCheck::rejected_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("message"); // URL stands for the manifest URL

    const QString notObject = QStringLiteral("Update manifest is not a JSON object.");
    QTest::newRow("404") << 404 << QByteArray("gone")
                         << QStringLiteral("Failed to fetch manifest: Error transferring URL - server replied: Not Found");
    QTest::newRow("500") << 500 << manifestJson({})
                         << QStringLiteral("Failed to fetch manifest: Error transferring URL - server replied: "
                                           "Internal Server Error");
    QTest::newRow("empty body") << 200 << QByteArray() << notObject;
    QTest::newRow("html page") << 200 << QByteArray("<html><body>Portal login</body></html>") << notObject;
    QTest::newRow("json array") << 200 << QByteArray("[{\"version\": \"3.1.0\"}]") << notObject;
    QTest::newRow("version and url missing")
        << 200
        << manifestJson({{QStringLiteral("version"), QJsonValue::Null},
                         {QStringLiteral("package_url"), QJsonValue::Null}})
        << QStringLiteral("Update manifest is missing version.");
    QTest::newRow("hash blank") << 200 << manifestJson({{QStringLiteral("package_hash"), QStringLiteral("  ")}})
                                << QStringLiteral("Update manifest is missing package_hash.");
    QTest::newRow("tar.gz format")
        << 200 << manifestJson({{QStringLiteral("package_format"), QStringLiteral(" tar.gz ")}})
        << QStringLiteral("Unsupported package format: tar.gz");
    QTest::newRow("zip with a suffix")
        << 200 << manifestJson({{QStringLiteral("package_format"), QStringLiteral("ZIP64")}})
        << QStringLiteral("Unsupported package format: ZIP64");
}

void TestManifestCheck::rejected()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QString, message);
    server->setResponse("/manifest.json", answer(status, body));
    const QString url = server->url(QStringLiteral("/manifest.json"));

    UpdaterWindow window(optionsFor(url));
    WindowProbe probe(&window);
    QVERIFY(runToEnd(&window, probe));

    QCOMPARE(probe.logLines(), QStringList({QStringLiteral("Проверка manifest"), QStringLiteral("Ошибка обновления"),
                                            message.replace(QLatin1String("URL"), url)}));
    QCOMPARE(probe.barValues(), QList<int>{5});
    QCOMPARE(probe.versionText(), QStringLiteral("Текущая версия: ") + currentVersion);
    QCOMPARE(server->requests().size(), 1);
    QVERIFY(!probe.hasWorkerThread());
    // The check writes nothing: not even the staging directory exists.
    QVERIFY(!QFileInfo::exists(dir->filePath(QStringLiteral(".orvalink-update"))));
}

void TestManifestCheck::unreachableServer()
{
    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
    const quint16 port = closed.serverPort();
    closed.close();

    UpdaterWindow window(optionsFor(QStringLiteral("http://127.0.0.1:%1/manifest.json").arg(port)));
    WindowProbe probe(&window);
    QVERIFY(runToEnd(&window, probe));
    QCOMPARE(probe.logLines().value(2), QStringLiteral("Failed to fetch manifest: Connection refused"));
    QCOMPARE(probe.bar(), 5);
}

void TestManifestCheck::accepted_data()
{
    QTest::addColumn<QJsonObject>("overrides");
    QTest::addColumn<QString>("versionLine");

    const QString arrow = currentVersion + QStringLiteral(" -> ");
    QTest::newRow("format missing") << QJsonObject{} << arrow + QStringLiteral("3.1.0");
    QTest::newRow("format upper case") << QJsonObject{{QStringLiteral("package_format"), QStringLiteral("ZIP")}}
                                       << arrow + QStringLiteral("3.1.0");
    QTest::newRow("format mixed case") << QJsonObject{{QStringLiteral("package_format"), QStringLiteral("Zip")}}
                                       << arrow + QStringLiteral("3.1.0");
    // Versions are shown, never compared; a marker in either version is not substituted again.
    QTest::newRow("same version as installed") << QJsonObject{{QStringLiteral("version"), currentVersion}}
                                               << arrow + currentVersion;
    QTest::newRow("older version with a marker") << QJsonObject{{QStringLiteral("version"), QStringLiteral("1.0 %2")}}
                                                 << arrow + QStringLiteral("1.0 %2");
}

void TestManifestCheck::accepted()
{
    QFETCH(QJsonObject, overrides);
    overrides.insert(QStringLiteral("package_url"), server->url(QStringLiteral("/absent.zip")));
    server->setResponse("/manifest.json", answer(200, manifestJson(overrides)));

    UpdaterWindow window(optionsFor(server->url(QStringLiteral("/manifest.json"))));
    WindowProbe probe(&window);
    QVERIFY(runToEnd(&window, probe));

    QTEST(probe.versionText(), "versionLine");
    QCOMPARE(probe.logLines().mid(0, 2), QStringList({QStringLiteral("Проверка manifest"), QStringLiteral("Загрузка пакета")}));
    QCOMPARE(server->requests().size(), 2);
    QCOMPARE(server->requests().at(1).target, QByteArray("/absent.zip"));
}

void TestManifestCheck::request_data()
{
    QTest::addColumn<QString>("pathAsGiven");
    QTest::addColumn<QByteArray>("target");

    QTest::newRow("plain path") << QStringLiteral("/updates/manifest.json") << QByteArray("/updates/manifest.json");
    // The query of the given URL is sent as it is; nothing (channel, version) is added.
    QTest::newRow("own query kept") << QStringLiteral("/manifest.json?product=vpn&beta=0")
                                    << QByteArray("/manifest.json?product=vpn&beta=0");
    QTest::newRow("space in the path") << QStringLiteral("/my updates/manifest.json")
                                       << QByteArray("/my%20updates/manifest.json");
    QTest::newRow("escaped text kept") << QStringLiteral("/a%2Fb/manifest.json") << QByteArray("/a%2Fb/manifest.json");
}

void TestManifestCheck::request()
{
    QFETCH(QString, pathAsGiven);
    QFETCH(QByteArray, target);
    UpdaterWindow window(optionsFor(server->url(pathAsGiven)));
    WindowProbe probe(&window);
    QVERIFY(runToEnd(&window, probe));

    QCOMPARE(server->requests().size(), 1);
    const TestHttpServer::Request sent = server->requests().constFirst();
    QCOMPARE(sent.method, QByteArray("GET"));
    QCOMPARE(sent.target, target);
    QCOMPARE(sent.headers.value("user-agent"), QByteArray("Orvalink v3"));
}

QTEST_MAIN(TestManifestCheck)
#include "tst_manifestcheck.moc"
