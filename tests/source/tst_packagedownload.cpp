#include "source/packagedownload.h"
#include "source/packagehash.h"

#include "testfiles.h"
#include "testhttpserver.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>

using TestSupport::readFile;

// The package download and its digest check: the progress reported, what is left on disk and
// how each failure is reported. The digests given are wrong unless a case says otherwise.
class TestPackageDownload : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void progress_data();
    void progress();
    void failures_data();
    void failures();
    void refusals_data();
    void refusals();
    void resume_data();
    void resume();
    void leftoverPackageReplaced();
    void unwritableParent();
    void writeFailureStopsTheTransfer();
    void matchingDigestPasses();

private:
    QString packagePath() const;
    // The download, then (when it succeeded) the digest check, as an update runs them.
    bool fetchAndVerify(const QString &url, const QString &hash, QString *error,
                        const Updater::DownloadProgress &progress = {},
                        qint64 expectedSize = -1) const;

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

const QString wrongHash = QString(64, QLatin1Char('0'));

} // namespace

Q_DECLARE_METATYPE(TestHttpServer::Response)

void TestPackageDownload::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    QVERIFY(QDir(dir->path()).mkpath(QStringLiteral("apps/Orvalink")));
    server = std::make_unique<TestHttpServer>();
    QVERIFY(server->start());
}

QString TestPackageDownload::packagePath() const
{
    return dir->filePath(QStringLiteral("apps/.orvalink-update/package.zip"));
}

bool TestPackageDownload::fetchAndVerify(const QString &url, const QString &hash, QString *error,
                                         const Updater::DownloadProgress &progress,
                                         qint64 expectedSize) const
{
    error->clear();
    return Updater::downloadPackage(url, packagePath(), expectedSize, progress, nullptr, error)
           && Updater::verifyPackageHash(packagePath(), hash, error);
}

void TestPackageDownload::progress_data()
{
    QTest::addColumn<TestHttpServer::Framing>("framing");
    QTest::addColumn<bool>("sizeAnnounced");

    QTest::newRow("known size") << TestHttpServer::Framing::ContentLength << true;
    QTest::newRow("chunked, size unknown") << TestHttpServer::Framing::Chunked << false;
    QTest::newRow("no size, ends at close") << TestHttpServer::Framing::UntilClose << false;
}

void TestPackageDownload::progress()
{
    QFETCH(TestHttpServer::Framing, framing);
    QFETCH(bool, sizeAnnounced);

    const QByteArray body = packageBytes(3 * 1024 * 1024);
    TestHttpServer::Response package;
    package.body = body;
    package.framing = framing;
    package.pauseAfter = body.size() / 2;
    package.pauseMs = 300;
    server->setResponse("/package.zip", package);

    QList<qint64> written;
    QList<qint64> announced;
    const auto progress = [&](qint64 bytes, qint64 size) {
        written << bytes;
        announced << size;
    };
    qint64 writtenAtHalf = -1;
    connect(server.get(), &TestHttpServer::resuming, this,
            [&] { writtenAtHalf = written.value(written.size() - 1); });
    QString error;
    QVERIFY(
        !fetchAndVerify(server->url(QStringLiteral("/package.zip")), wrongHash, &error, progress));

    // Everything sent before the pause was on disk and reported while the server waited.
    QCOMPARE(writtenAtHalf, qint64(body.size() / 2));
    QCOMPARE(written.constLast(), qint64(body.size()));
    QVERIFY2(std::is_sorted(written.begin(), written.end()), qPrintable(QTest::toString(written)));
    const qint64 expectedSize = sizeAnnounced ? body.size() : 0;
    QVERIFY2(std::all_of(announced.begin(), announced.end(),
                         [&](qint64 size) { return size == expectedSize; }),
             qPrintable(QTest::toString(announced)));
    QCOMPARE(error, QStringLiteral("SHA-256 mismatch for %1").arg(packagePath()));
    QCOMPARE(readFile(packagePath()), body);
}

void TestPackageDownload::failures_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("hash");
    QTest::addColumn<bool>("packageUrlReachable");
    QTest::addColumn<QString>("message"); // URL and PATH stand for the package's URL and file
    QTest::addColumn<QByteArray>("fileContent");

    const QByteArray body("PK\x03\x04 not really a zip");
    // An error page is not written as the package, where a later attempt would resume it.
    QTest::newRow("404")
        << 404 << sha256("Not Found") << true
        << QStringLiteral(
               "Failed to download package: Error transferring URL - server replied: Not Found")
        << QByteArray();
    QTest::newRow("digest with an algorithm prefix")
        << 200 << QStringLiteral("sha256:") + sha256(body) << true
        << QStringLiteral("SHA-256 mismatch for PATH") << body;
    QTest::newRow("digest of another file")
        << 200 << sha256(body + "x") << true << QStringLiteral("SHA-256 mismatch for PATH") << body;
    QTest::newRow("empty package, wrong digest")
        << 200 << sha256(body) << true << QStringLiteral("SHA-256 mismatch for PATH")
        << QByteArray();
    QTest::newRow("server gone") << 200 << sha256(body) << false
                                 << QStringLiteral("Failed to download package: Connection refused")
                                 << QByteArray();
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
        package.body = status == 404 ? QByteArray("Not Found") : fileContent;
        server->setResponse("/package.zip", package);
    } else {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
        packageUrl = QStringLiteral("http://127.0.0.1:%1/package.zip").arg(closed.serverPort());
    }
    QString error;
    QVERIFY(!fetchAndVerify(packageUrl, hash, &error));

    message.replace(QLatin1String("URL"), packageUrl).replace(QLatin1String("PATH"), packagePath());
    QCOMPARE(error, message);
    // What was written stays for the next attempt; an attempt that wrote nothing leaves nothing.
    QCOMPARE(QFileInfo::exists(packagePath()), message.startsWith(QLatin1String("SHA-256")));
    QCOMPARE(readFile(packagePath()), fileContent);
}

void TestPackageDownload::refusals_data()
{
    QTest::addColumn<QString>("url"); // SERVER stands for the test server
    QTest::addColumn<TestHttpServer::Response>("response");
    QTest::addColumn<qint64>("expectedSize");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("requests");

    const QByteArray body = packageBytes(64 * 1024);
    const qint64 size = body.size();
    QTest::newRow("file URL") << QStringLiteral("file:///etc/hostname") << answer(200, body) << size
                              << QStringLiteral("Unsupported URL scheme: file") << 0;
    QTest::newRow("redirect to a file")
        << QStringLiteral("SERVER/package.zip")
        << answer(302, {}, {{"Location", "file:///etc/hostname"}}) << size
        << QStringLiteral("Unsupported URL scheme: file") << 1;
    QTest::newRow("announced size differs")
        << QStringLiteral("SERVER/package.zip") << answer(200, body) << size - 1
        << QStringLiteral("the server announced 65536 bytes, the manifest 65535") << 1;
    TestHttpServer::Response endless = answer(200, packageBytes(4 * 1024 * 1024));
    endless.framing = TestHttpServer::Framing::Chunked;
    endless.pauseAfter = 3 * 1024 * 1024;
    endless.pauseMs = -1;
    QTest::newRow("body grows past the size")
        << QStringLiteral("SERVER/package.zip") << endless << size
        << QStringLiteral("the server sent more than the 65536 bytes expected") << 1;
    QTest::newRow("no room") << QStringLiteral("SERVER/package.zip") << answer(200, body)
                             << (qint64(1) << 50)
                             << QStringLiteral("Not enough disk space: 1.00 PiB") << 0;
}

void TestPackageDownload::refusals()
{
    QFETCH(QString, url);
    QFETCH(TestHttpServer::Response, response);
    QFETCH(qint64, expectedSize);
    QFETCH(QString, message);
    server->setResponse("/package.zip", response);

    QString error;
    QVERIFY(!fetchAndVerify(url.replace(QLatin1String("SERVER"), server->url(QString())),
                            sha256(response.body), &error, {}, expectedSize));
    if (!message.startsWith(QLatin1String("Not enough")))
        message.prepend(QStringLiteral("Failed to download package: "));
    QVERIFY2(error.startsWith(message), qPrintable(error));
    QTEST(int(server->requests().size()), "requests");
    // Nothing of a package of the wrong size is kept for a later attempt.
    QVERIFY(!QFileInfo::exists(packagePath()));
}

void TestPackageDownload::resume_data()
{
    QTest::addColumn<bool>("sameUrl"); // the part was begun from this package's URL
    QTest::addColumn<QList<TestHttpServer::Response>>("answers");
    QTest::addColumn<QList<QByteArray>>("ranges"); // the Range of each request, empty for none

    const QByteArray body = packageBytes(256 * 1024);
    const QByteArray rest = body.mid(100 * 1024);
    const QByteArray tail = "bytes 102400-262143/262144";
    const QByteArray from = "bytes=102400-\"v1\"";
    const auto whole = answer(200, body, {{"ETag", "\"v2\""}});
    QTest::newRow("206 appends") << true << QList{answer(206, rest, {{"Content-Range", tail}})}
                                 << QList<QByteArray>{from};
    QTest::newRow("200 starts again") << true << QList{whole} << QList<QByteArray>{from};
    QTest::newRow("416 starts again")
        << true << QList{answer(416, {}), whole} << QList<QByteArray>{from, {}};
    QTest::newRow("part of another URL") << false << QList{whole} << QList<QByteArray>{{}};
}

void TestPackageDownload::resume()
{
    QFETCH(bool, sameUrl);
    QFETCH(QList<TestHttpServer::Response>, answers);
    const QByteArray body = packageBytes(256 * 1024);
    const QString url = server->url(QStringLiteral("/package.zip"));
    // A run that stalled after 100 KiB of the first answer, whose ETag was "v1".
    QVERIFY(TestSupport::writeFile(packagePath(), body.left(100 * 1024)));
    QVERIFY(TestSupport::writeFile(packagePath() + QStringLiteral(".resume"),
                                   (sameUrl ? url : url + QStringLiteral("?old")).toUtf8()
                                       + "\n\"v1\"\n"));
    server->setResponses("/package.zip", answers);

    QString error;
    QVERIFY2(fetchAndVerify(url, sha256(body), &error, {}, body.size()), qPrintable(error));
    QList<QByteArray> ranges; // and what vouches for the part
    for (const TestHttpServer::Request &request : server->requests())
        ranges << request.headers.value("range") + request.headers.value("if-range");
    QTEST(ranges, "ranges");
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

    QString error;
    QVERIFY(!fetchAndVerify(server->url(QStringLiteral("/package.zip")), wrongHash, &error));
    QCOMPARE(readFile(packagePath()), package.body);
}

void TestPackageDownload::unwritableParent()
{
    // The installation's parent cannot take the staging directory: root ignores permissions, so
    // the directory is made immutable, and made mutable again whatever happens.
    const QString parent = dir->filePath(QStringLiteral("apps"));
    if (QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("+i"), parent}) != 0)
        QSKIP("chattr +i is not available on this file system");
    const auto restore = qScopeGuard([&parent] {
        QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), parent});
    });

    QString error;
    QVERIFY(!fetchAndVerify(server->url(QStringLiteral("/package.zip")), wrongHash, &error));

    QVERIFY2(error.startsWith(QLatin1String("Failed to create package file: ")), qPrintable(error));
    QVERIFY(error.size() > int(qstrlen("Failed to create package file: ")));
    // No request is sent for a package that has nowhere to go.
    QCOMPARE(server->requests().size(), 0);
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

    QString error;
    QVERIFY(!fetchAndVerify(server->url(QStringLiteral("/package.zip")), sha256(body), &error));
    QCOMPARE(error, QStringLiteral("Failed to download package: File too large"));
    // The transfer was given up at the failed write, not fetched to its end.
    QTRY_COMPARE_WITH_TIMEOUT(server->abandonedResponses(), 1, TestSupport::eventDeadlineMs);
}

void TestPackageDownload::matchingDigestPasses()
{
    // Letter case of the expected digest does not matter.
    const QByteArray body = packageBytes(100 * 1024);
    TestHttpServer::Response package;
    package.body = body;
    server->setResponse("/package.zip", package);

    QString error;
    QVERIFY2(
        fetchAndVerify(server->url(QStringLiteral("/package.zip")), sha256(body).toUpper(), &error),
        qPrintable(error));
    QVERIFY(error.isEmpty());
    QCOMPARE(readFile(packagePath()), body);
}

QTEST_GUILESS_MAIN(TestPackageDownload)
#include "tst_packagedownload.moc"
