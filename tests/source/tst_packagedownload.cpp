#include "testhttpserver.h"
#include "ui/updaterwindow.h"
#include "windowprobe.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>

using Updater::UpdaterWindow;

// The package download as the window runs it: the progress it shows, what it leaves in the
// staging directory and how each failure is reported. The digests given to it are wrong unless a
// case says otherwise, so the run ends before any installation starts.
class TestPackageDownload : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void progress_data();
    void progress();
    void failures_data();
    void failures();
    void leftoverPackageReplaced();
    void unwritableParent();
    void writeFailureStopsTheTransfer();
    void matchingDigestHandsOver();

private:
    void serveManifest(const QString &packageUrl, const QString &hash);
    Updater::UpdaterOptions options() const;
    QString packagePath() const;

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<TestHttpServer> server;
};

namespace {

QByteArray packageBytes(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 7 + i / 4096) & 0xff);
    return bytes;
}

QString sha256(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

bool runToEnd(UpdaterWindow *window, const WindowProbe &probe)
{
    window->show();
    return QTest::qWaitFor([&probe] { return probe.closeEnabled(); }, 30000);
}

const QString wrongHash = QString(64, QLatin1Char('0'));

} // namespace

void TestPackageDownload::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    QVERIFY(QDir(dir->path()).mkpath(QStringLiteral("apps/Orvalink")));
    server = std::make_unique<TestHttpServer>();
    QVERIFY(server->start());
}

void TestPackageDownload::serveManifest(const QString &packageUrl, const QString &hash)
{
    const QJsonObject manifest{{QStringLiteral("version"), QStringLiteral("3.1.0")},
                               {QStringLiteral("package_url"), packageUrl},
                               {QStringLiteral("package_hash"), hash}};
    TestHttpServer::Response response;
    response.body = QJsonDocument(manifest).toJson();
    server->setResponse("/manifest.json", response);
}

Updater::UpdaterOptions TestPackageDownload::options() const
{
    Updater::UpdaterOptions options;
    options.manifestUrl = server->url(QStringLiteral("/manifest.json"));
    options.installDir = dir->filePath(QStringLiteral("apps/Orvalink"));
    options.currentVersion = QStringLiteral("2.4.1");
    return options;
}

QString TestPackageDownload::packagePath() const
{
    return dir->filePath(QStringLiteral("apps/.orvalink-update/package.zip"));
}

void TestPackageDownload::progress_data()
{
    QTest::addColumn<TestHttpServer::Framing>("framing");
    QTest::addColumn<int>("atHalf");
    QTest::addColumn<int>("atEnd");

    QTest::newRow("known size") << TestHttpServer::Framing::ContentLength << 40 << 70;
    QTest::newRow("chunked, size unknown") << TestHttpServer::Framing::Chunked << 10 << 10;
    QTest::newRow("no size, ends at close") << TestHttpServer::Framing::UntilClose << 10 << 10;
}

void TestPackageDownload::progress()
{
    QFETCH(TestHttpServer::Framing, framing);
    QFETCH(int, atHalf);
    QFETCH(int, atEnd);

    const QByteArray body = packageBytes(3 * 1024 * 1024);
    TestHttpServer::Response package;
    package.body = body;
    package.framing = framing;
    package.pauseAfter = body.size() / 2;
    package.pauseMs = 300;
    server->setResponse("/package.zip", package);
    serveManifest(server->url(QStringLiteral("/package.zip")), wrongHash);

    UpdaterWindow window(options());
    WindowProbe probe(&window);
    int barAtHalf = -1;
    connect(server.get(), &TestHttpServer::resuming, this, [&] { barAtHalf = probe.bar(); });
    QVERIFY(runToEnd(&window, probe));

    QCOMPARE(barAtHalf, atHalf);
    QCOMPARE(probe.bar(), atEnd);
    const QList<int> values = probe.barValues();
    QCOMPARE(values.mid(0, 2), QList<int>({5, 10}));
    QVERIFY2(std::is_sorted(values.begin(), values.end()), qPrintable(QTest::toString(values)));
    QCOMPARE(probe.logLines(), QStringList({QStringLiteral("Проверка manifest"), QStringLiteral("Загрузка пакета"),
                                            QStringLiteral("Ошибка обновления"),
                                            QStringLiteral("SHA-256 mismatch for %1").arg(packagePath())}));
    QCOMPARE(readAll(packagePath()), body);
    QVERIFY(!probe.hasWorkerThread());
}

void TestPackageDownload::failures_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("hash");
    QTest::addColumn<bool>("packageUrlReachable");
    QTest::addColumn<QString>("message"); // URL and PATH stand for the package's URL and file
    QTest::addColumn<QByteArray>("fileContent");

    const QByteArray body("PK\x03\x04 not really a zip");
    QTest::newRow("404") << 404 << sha256("Not Found") << true
                         << QStringLiteral("Failed to download package: Error transferring URL - server replied: Not Found")
                         << QByteArray("Not Found");
    QTest::newRow("digest with an algorithm prefix")
        << 200 << QStringLiteral("sha256:") + sha256(body) << true << QStringLiteral("SHA-256 mismatch for PATH") << body;
    QTest::newRow("digest of another file") << 200 << sha256(body + "x") << true
                                            << QStringLiteral("SHA-256 mismatch for PATH") << body;
    QTest::newRow("empty package, wrong digest") << 200 << sha256(body) << true
                                                 << QStringLiteral("SHA-256 mismatch for PATH") << QByteArray();
    QTest::newRow("server gone") << 200 << sha256(body) << false
                                 << QStringLiteral("Failed to download package: Connection refused") << QByteArray();
}

void TestPackageDownload::failures()
{
    QFETCH(int, status);
    QFETCH(QString, hash);
    QFETCH(bool, packageUrlReachable);
    QFETCH(QString, message);
    QFETCH(QByteArray, fileContent);

    QString packageUrl = server->url(QStringLiteral("/package.zip"));
    if (packageUrlReachable) {
        TestHttpServer::Response package;
        package.status = status;
        package.body = fileContent;
        server->setResponse("/package.zip", package);
    } else {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
        packageUrl = QStringLiteral("http://127.0.0.1:%1/package.zip").arg(closed.serverPort());
    }
    serveManifest(packageUrl, hash);

    UpdaterWindow window(options());
    WindowProbe probe(&window);
    QVERIFY(runToEnd(&window, probe));

    message.replace(QLatin1String("URL"), packageUrl).replace(QLatin1String("PATH"), packagePath());
    QCOMPARE(probe.logLines().mid(1), QStringList({QStringLiteral("Загрузка пакета"), QStringLiteral("Ошибка обновления"),
                                                   message}));
    // What was written stays for the next attempt to delete.
    QCOMPARE(readAll(packagePath()), fileContent);
    QVERIFY(!probe.hasWorkerThread());
}

void TestPackageDownload::leftoverPackageReplaced()
{
    QVERIFY(QDir().mkpath(QFileInfo(packagePath()).path()));
    QFile leftover(packagePath());
    QVERIFY(leftover.open(QIODevice::WriteOnly));
    QVERIFY(leftover.write(packageBytes(512 * 1024)) > 0);
    leftover.close();

    TestHttpServer::Response package;
    package.body = "a shorter package";
    server->setResponse("/package.zip", package);
    serveManifest(server->url(QStringLiteral("/package.zip")), wrongHash);

    UpdaterWindow window(options());
    WindowProbe probe(&window);
    QVERIFY(runToEnd(&window, probe));
    QCOMPARE(readAll(packagePath()), package.body);
}

void TestPackageDownload::unwritableParent()
{
    // The installation's parent cannot take the staging directory: root ignores permissions, so
    // the directory is made immutable, and made mutable again whatever happens.
    const QString parent = dir->filePath(QStringLiteral("apps"));
    if (QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("+i"), parent}) != 0)
        QSKIP("chattr +i is not available on this file system");
    const auto restore = qScopeGuard([&parent] { QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), parent}); });

    serveManifest(server->url(QStringLiteral("/package.zip")), wrongHash);
    UpdaterWindow window(options());
    WindowProbe probe(&window);
    QVERIFY(runToEnd(&window, probe));

    const QStringList lines = probe.logLines();
    QCOMPARE(lines.mid(0, 3), QStringList({QStringLiteral("Проверка manifest"), QStringLiteral("Загрузка пакета"),
                                           QStringLiteral("Ошибка обновления")}));
    QVERIFY2(lines.value(3).startsWith(QLatin1String("Failed to create package file: ")), qPrintable(lines.value(3)));
    QVERIFY(lines.value(3).size() > int(qstrlen("Failed to create package file: ")));
    QCOMPARE(probe.barValues(), QList<int>({5, 10}));
    // No request is sent for a package that has nowhere to go.
    QCOMPARE(server->requests().size(), 1);
}

void TestPackageDownload::writeFailureStopsTheTransfer()
{
    // A file size limit makes the writes fail part way, as a full disk would (EFBIG instead of
    // ENOSPC); the signal that would end the process is ignored meanwhile.
    rlimit previous{};
    QVERIFY(getrlimit(RLIMIT_FSIZE, &previous) == 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = previous;
    limited.rlim_cur = 256 * 1024;
    QVERIFY(setrlimit(RLIMIT_FSIZE, &limited) == 0);
    const auto restore = qScopeGuard([&] {
        setrlimit(RLIMIT_FSIZE, &previous);
        std::signal(SIGXFSZ, previousHandler);
    });

    const QByteArray body = packageBytes(4 * 1024 * 1024);
    TestHttpServer::Response package;
    package.body = body;
    package.pauseAfter = 1024 * 1024;
    package.pauseMs = 3000;
    server->setResponse("/package.zip", package);
    serveManifest(server->url(QStringLiteral("/package.zip")), sha256(body));

    UpdaterWindow window(options());
    WindowProbe probe(&window);
    QVERIFY(runToEnd(&window, probe));
    QCOMPARE(probe.logLines().mid(1), QStringList({QStringLiteral("Загрузка пакета"), QStringLiteral("Ошибка обновления"),
                                                   QStringLiteral("Failed to download package: File too large")}));
    // The transfer was given up at the failed write, not fetched to its end.
    QTRY_COMPARE(server->abandonedResponses(), 1);
    QVERIFY(!probe.hasWorkerThread());
}

void TestPackageDownload::matchingDigestHandsOver()
{
    // Letter case of the expected digest does not matter; a verified package goes to the worker.
    const QByteArray body = packageBytes(100 * 1024);
    TestHttpServer::Response package;
    package.body = body;
    server->setResponse("/package.zip", package);
    serveManifest(server->url(QStringLiteral("/package.zip")), sha256(body).toUpper());

    UpdaterWindow window(options());
    WindowProbe probe(&window);
    QVERIFY(runToEnd(&window, probe));
    QCOMPARE(probe.logLines().mid(0, 3), QStringList({QStringLiteral("Проверка manifest"), QStringLiteral("Загрузка пакета"),
                                                      QStringLiteral("Установка обновления...")}));
    QVERIFY(probe.hasWorkerThread());
}

QTEST_MAIN(TestPackageDownload)
#include "tst_packagedownload.moc"
