#include "e2eharness.h"
#include "fixtures.h"
#include "nginxserver.h"
#include "treesnapshot.h"
#include "updaterprocess.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace E2e;

// Whole online updates by a build that carries a release key (OrvalinkUpdater-testkey, built with
// testkey/release-test.pub) against a real nginx, each release published with orvalink-release:
// signed by that key it installs; signed by another key, or not signed, it is refused before the
// package is requested or anything is written.
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
    QString error;
    QVERIFY2(m_server->start(&error), qPrintable(error));
}

void TestSignedUpdate::update_data()
{
    QTest::addColumn<QString>("signingKey"); // empty: published without --sign
    QTest::addColumn<bool>("installs");

    QTest::newRow("signed by the built-in key")
        << qEnvironmentVariable("UPDATER_SOURCE_DIR")
               + QStringLiteral("/tests/e2e/testkey/release-test.key")
        << true;
    QTest::newRow("signed by another key") << m_temp.filePath(QStringLiteral("other.key")) << false;
    QTest::newRow("not signed") << QString() << false;
}

void TestSignedUpdate::update()
{
    QFETCH(QString, signingKey);
    QFETCH(bool, installs);

    const QString tag = QStringLiteral("r%1").arg(++m_rowCount);
    const QDir row(m_temp.filePath(tag));
    const QString installDir = row.filePath(QStringLiteral("Orvalink"));
    const QString clientLog = row.filePath(QStringLiteral("client.log"));
    const QString outsideDir = row.filePath(QStringLiteral("outside-data"));
    const QString payloadDir = row.filePath(QStringLiteral("payload"));
    QVERIFY(writeInstallation(installDir, clientLog, outsideDir));
    QVERIFY(writePayload(payloadDir, clientLog));
    const TreeSnapshot payload = TreeSnapshot::take(payloadDir);
    const TreeSnapshot before = TreeSnapshot::take(installDir);
    const TreeSnapshot outsideBefore = TreeSnapshot::take(outsideDir);

    QStringList publish{QStringLiteral("--payload"),
                        payloadDir,
                        QStringLiteral("--version"),
                        QStringLiteral("3.0.0"),
                        QStringLiteral("--package-url"),
                        m_server->httpUrl(QStringLiteral("/%1/package.zip").arg(tag)),
                        QStringLiteral("--out"),
                        QDir(m_server->wwwDir()).filePath(tag)};
    if (!signingKey.isEmpty())
        publish << QStringLiteral("--sign") << signingKey;
    QString output;
    QVERIFY2(
        runCommand(QDir(binDir()).filePath(QStringLiteral("orvalink-release")), publish, &output),
        qPrintable(output));

    UpdaterProcess updater;
    updater.setProgram(QDir(binDir()).filePath(QStringLiteral("OrvalinkUpdater-testkey")));
    updater.setWorkingDirectory(row.path());
    QString error;
    QVERIFY2(updater.start({QStringLiteral("--manifest-url"),
                            m_server->httpUrl(QStringLiteral("/%1/manifest.json").arg(tag)),
                            QStringLiteral("--install-dir"), installDir,
                            QStringLiteral("--current-version"), QStringLiteral("2.4.1")},
                           &error),
             qPrintable(error));

    if (installs) {
        QVERIFY2(updater.waitForExit(), qPrintable(updater.output()));
        QCOMPARE(updater.exitCode(), 0);
        const QStringList problems = problemsAfterUpdate(installDir, payload, before);
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(QLatin1Char('\n'))));
        QVERIFY2(waitUntil([&] { return readFile(clientLog).contains("3.0.0 started"); }),
                 qPrintable("the updated client was not started; its log: " + readFile(clientLog)));
    } else {
        // A refused update keeps its window open for the user; one that went ahead would have
        // ended well within this time.
        QVERIFY2(updater.staysRunningFor(5000), "the updater closed its window");
        updater.kill();
        const QStringList changes = before.differences(TreeSnapshot::take(installDir));
        QVERIFY2(changes.isEmpty(), qPrintable(changes.join(QLatin1Char('\n'))));
        QVERIFY(!QFileInfo::exists(row.filePath(QStringLiteral(".orvalink-update"))));
        QVERIFY(readFile(clientLog).isEmpty());
    }
    QCOMPARE(TreeSnapshot::take(outsideDir), outsideBefore);

    QStringList requested;
    for (const QString &line : m_server->accessLog()) {
        if (line.contains(QStringLiteral("/%1/").arg(tag)))
            requested << line.section(QLatin1Char('"'), 1, 1)
                             .section(QLatin1Char('/'), 2, 2)
                             .section(QLatin1Char(' '), 0, 0);
    }
    requested.removeDuplicates();
    QStringList expected{QStringLiteral("manifest.json"), QStringLiteral("manifest.json.minisig")};
    if (installs)
        expected << QStringLiteral("package.zip");
    QCOMPARE(requested, expected);
}

QTEST_MAIN(TestSignedUpdate)
#include "tst_signedupdate.moc"
