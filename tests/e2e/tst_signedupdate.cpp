#include "e2eharness.h"
#include "fixtures.h"
#include "nginxserver.h"
#include "testhttpserver.h"
#include "treesnapshot.h"
#include "updaterprocess.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace E2e;

// Whole updates by a build that carries a release key (OrvalinkUpdater-testkey, built with
// testkey/release-test.pub), each release published with orvalink-release, online from nginx or
// offline from the tool's folder: signed by that key it installs; signed by another key, not
// signed, or an unpacked folder, it is refused before the package is requested or anything is
// written. A run after a killed one resumes its package, one after a stalled one goes ahead.
class TestSignedUpdate : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void update_data();
    void update();

private:
    QTemporaryDir m_temp;
    std::unique_ptr<NginxServer> m_server;
    int m_rowCount = 0;
};

void TestSignedUpdate::initTestCase()
{
    QVERIFY(m_temp.isValid());
    for (const QString &program :
         {QStringLiteral("OrvalinkUpdater-testkey"), QStringLiteral("orvalink-release")})
        QVERIFY2(QFileInfo(QDir(binDir()).filePath(program)).isExecutable(), qPrintable(program));
    QString output;
    QVERIFY2(runCommand(QStringLiteral("minisign"),
                        {QStringLiteral("-G"), QStringLiteral("-W"), QStringLiteral("-p"),
                         m_temp.filePath(QStringLiteral("other.pub")), QStringLiteral("-s"),
                         m_temp.filePath(QStringLiteral("other.key"))},
                        &output),
             qPrintable(QStringLiteral("minisign (scripts/install-deps.sh): ") + output));

    m_server = std::make_unique<NginxServer>(m_temp.filePath(QStringLiteral("nginx")));
    // Slow enough that a run can be killed in the middle of a package of a few MiB.
    m_server->setRateLimit(QStringLiteral("2m"));
    QString error;
    QVERIFY2(m_server->start(&error), qPrintable(error));
}

void TestSignedUpdate::update_data()
{
    QTest::addColumn<QString>("signingKey"); // empty: published without --sign
    QTest::addColumn<QString>("source");     // "online", or offline: "release" or "unpacked"
    QTest::addColumn<QString>("firstRun");   // an earlier run: "killed" or "stalled"
    QTest::addColumn<bool>("installs");

    const QString key = qEnvironmentVariable("UPDATER_SOURCE_DIR")
                        + QStringLiteral("/tests/e2e/testkey/release-test.key");
    const QString online = QStringLiteral("online");
    const QString release = QStringLiteral("release");
    QTest::newRow("signed by the built-in key") << key << online << QString() << true;
    QTest::newRow("signed by another key")
        << m_temp.filePath(QStringLiteral("other.key")) << online << QString() << false;
    QTest::newRow("not signed") << QString() << online << QString() << false;
    QTest::newRow("offline, signed release") << key << release << QString() << true;
    QTest::newRow("offline, not signed") << QString() << release << QString() << false;
    QTest::newRow("offline, unpacked folder")
        << key << QStringLiteral("unpacked") << QString() << false;
    QTest::newRow("download resumed") << key << online << QStringLiteral("killed") << true;
    QTest::newRow("after a stalled run") << key << online << QStringLiteral("stalled") << true;
}

void TestSignedUpdate::update()
{
    QFETCH(QString, signingKey);
    QFETCH(QString, source);
    QFETCH(QString, firstRun);
    QFETCH(bool, installs);
    const bool online = source == QLatin1String("online");

    const QString tag = QStringLiteral("r%1").arg(++m_rowCount);
    const QDir row(m_temp.filePath(tag));
    const QString installDir = row.filePath(QStringLiteral("Orvalink"));
    const QString clientLog = row.filePath(QStringLiteral("client.log"));
    const QString outsideDir = row.filePath(QStringLiteral("outside-data"));
    const QString payloadDir = row.filePath(QStringLiteral("payload"));
    QVERIFY(writeInstallation(installDir, clientLog, outsideDir));
    QVERIFY(writePayload(payloadDir, clientLog));
    // Random bytes make a package that takes a few seconds to download.
    QFile random(QStringLiteral("/dev/urandom"));
    if (firstRun == QLatin1String("killed") && random.open(QIODevice::ReadOnly))
        QVERIFY(writeFile(payloadDir + QStringLiteral("/data/blob.bin"), random.read(6 << 20)));
    const TreeSnapshot payload = TreeSnapshot::take(payloadDir);
    const TreeSnapshot before = TreeSnapshot::take(installDir);
    const TreeSnapshot outsideBefore = TreeSnapshot::take(outsideDir);

    // Offline, the client copies the release into a folder of its own, which goes after success.
    const QString dropDir = row.filePath(QStringLiteral("drop"));
    QStringList publish{QStringLiteral("--payload"),
                        payloadDir,
                        QStringLiteral("--version"),
                        QStringLiteral("3.0.0"),
                        QStringLiteral("--package-url"),
                        m_server->httpUrl(QStringLiteral("/%1/package.zip").arg(tag)),
                        QStringLiteral("--out"),
                        online ? QDir(m_server->wwwDir()).filePath(tag)
                               : dropDir + QStringLiteral("/release")};
    if (!signingKey.isEmpty())
        publish << QStringLiteral("--sign") << signingKey;
    QString output;
    QVERIFY2(
        runCommand(QDir(binDir()).filePath(QStringLiteral("orvalink-release")), publish, &output),
        qPrintable(output));

    if (source == QLatin1String("unpacked"))
        QVERIFY(QDir().rename(payloadDir, dropDir + QStringLiteral("/unpacked")));

    QString error;
    const QString manifestUrl = m_server->httpUrl(QStringLiteral("/%1/manifest.json").arg(tag));
    QStringList arguments{QStringLiteral("--install-dir"),
                          installDir,
                          QStringLiteral("--current-version"),
                          QStringLiteral("2.4.1"),
                          online ? QStringLiteral("--manifest-url")
                                 : QStringLiteral("--offline-payload-root"),
                          online ? manifestUrl : dropDir + QLatin1Char('/') + source};
    const auto start = [&](UpdaterProcess *updater) {
        updater->setProgram(QDir(binDir()).filePath(QStringLiteral("OrvalinkUpdater-testkey")));
        updater->setWorkingDirectory(row.path());
        return updater->start(arguments, &error);
    };
    UpdaterProcess first;
    TestHttpServer stalling;
    if (firstRun == QLatin1String("killed")) {
        const QString part = row.filePath(QStringLiteral(".orvalink-update/package.zip"));
        QVERIFY2(start(&first), qPrintable(error));
        QVERIFY2(waitUntil([&] { return QFileInfo(part).size() > (1 << 20); }), "no MiB came");
        first.kill();
    } else if (firstRun == QLatin1String("stalled")) {
        // Headers, then nothing for as long as the client stays.
        stalling.setResponse("/manifest.json",
                             {200, "{}", TestHttpServer::Framing::ContentLength, {}, 0, -1});
        QVERIFY(stalling.start());
        QElapsedTimer clock;
        clock.start();
        arguments.last() = stalling.url(QStringLiteral("/manifest.json"));
        QVERIFY2(start(&first), qPrintable(error));
        QVERIFY2(waitUntil([&] { return stalling.abandonedResponses() == 1; }), "still waiting");
        QVERIFY2(clock.elapsed() >= 29000, qPrintable(QString::number(clock.elapsed())));
        arguments.last() = manifestUrl;
    }

    UpdaterProcess updater;
    QVERIFY2(start(&updater), qPrintable(error));

    if (installs) {
        QVERIFY2(updater.waitForExit(), qPrintable(updater.output()));
        QCOMPARE(updater.exitCode(), 0);
        const QStringList problems = problemsAfterUpdate(installDir, payload, before);
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(QLatin1Char('\n'))));
        QVERIFY2(waitUntil([&] { return readFile(clientLog).contains("3.0.0 started"); }),
                 qPrintable("the updated client was not started; its log: " + readFile(clientLog)));
        QVERIFY(!QFileInfo::exists(dropDir));
        // The stalled run's window still shows its failure.
        QCOMPARE(first.isRunning(), firstRun == QLatin1String("stalled"));
    } else {
        // A refused update keeps its window open for the user.
        QVERIFY2(updater.waitForFailure(), "the updater closed its window");
        updater.kill();
        const QStringList changes = before.differences(TreeSnapshot::take(installDir));
        QVERIFY2(changes.isEmpty(), qPrintable(changes.join(QLatin1Char('\n'))));
        QVERIFY(!QFileInfo::exists(row.filePath(QStringLiteral(".orvalink-update"))));
        QVERIFY(readFile(clientLog).isEmpty());
    }
    QCOMPARE(TreeSnapshot::take(outsideDir), outsideBefore);

    // The files asked for, the package with its status.
    QStringList requested;
    for (const QString &line : m_server->accessLog()) {
        const QString file = line.section(QLatin1Char('"'), 1, 1)
                                 .section(QLatin1Char('/'), 2, 2)
                                 .section(QLatin1Char(' '), 0, 0);
        if (line.contains(QStringLiteral("/%1/").arg(tag)))
            requested << (file == QLatin1String("package.zip")
                              ? file + QLatin1Char(' ') + line.section(QLatin1Char(' '), -1)
                              : file);
    }
    requested.removeDuplicates();
    QStringList expected;
    if (online)
        expected << QStringLiteral("manifest.json") << QStringLiteral("manifest.json.minisig");
    // The installation holds most of the release: the signed manifest's differential update
    // fetches the rest from the zpack, unless the random blob makes that more than half of the
    // package, which then comes whole.
    if (online && installs)
        expected << (firstRun == QLatin1String("killed") ? QStringLiteral("package.zip 200")
                                                         : QStringLiteral("package.zpack"));
    // After a run killed part way only the rest is asked for.
    if (firstRun == QLatin1String("killed"))
        expected << QStringLiteral("package.zip 206");
    QCOMPARE(requested, expected);
}

QTEST_MAIN(TestSignedUpdate)
#include "tst_signedupdate.moc"
