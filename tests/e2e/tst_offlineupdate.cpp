#include "e2eharness.h"
#include "fixtures.h"
#include "treesnapshot.h"
#include "updaterprocess.h"

#include <QDir>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

using namespace E2e;

// Whole offline updates of the built program: where the payload may lie, what goes with it
// afterwards, how the update waits for the client and ends the client's processes, and how it
// stops short of a client it may not end.
class TestOfflineUpdate : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void wholeUpdate_data();
    void wholeUpdate();
    void runningClient_data();
    void runningClient();
    void clientBeyondReach_data();
    void clientBeyondReach();
};

namespace {

QStringList clientLogLines(const QString &clientLog)
{
    return QString::fromUtf8(readFile(clientLog)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QStringList offlineArguments(const QString &payloadRoot, const QString &installDir)
{
    return {QStringLiteral("--offline-payload-root"),
            payloadRoot,
            QStringLiteral("--install-dir"),
            installDir,
            QStringLiteral("--current-version"),
            QStringLiteral("2.4.1"),
            QStringLiteral("--channel"),
            QStringLiteral("stable")};
}

} // namespace

void TestOfflineUpdate::initTestCase()
{
    QVERIFY2(QFileInfo(updaterPath()).isExecutable(), qPrintable(updaterPath()));
}

void TestOfflineUpdate::wholeUpdate_data()
{
    QTest::addColumn<QString>("installRelative");
    QTest::addColumn<QString>("payloadRelative");
    // Other entries of the folder that holds the payload; when there are any, that folder is
    // not the update's own and must stay with them.
    QTest::addColumn<QStringList>("neighbours");

    QTest::newRow("payload in a folder of its own")
        << QStringLiteral("Orvalink") << QStringLiteral("drop/payload") << QStringList();
    QTest::newRow("quotes in both paths")
        << QStringLiteral("Users/O'Brien’s files/Orvalink")
        << QStringLiteral("Users/O'Brien’s files/drop ’n' go/payload") << QStringList();
    QTest::newRow("payload beside the installation")
        << QStringLiteral("area/Orvalink") << QStringLiteral("area/payload")
        << QStringList{QStringLiteral("keep-me.txt"), QStringLiteral(".keep-me-too")};
    QTest::newRow("payload in the user's downloads folder")
        << QStringLiteral("Orvalink") << QStringLiteral("home/Downloads/payload")
        << QStringList{QStringLiteral("holiday.jpg"), QStringLiteral("letters/mother.txt")};
}

void TestOfflineUpdate::wholeUpdate()
{
    QFETCH(QString, installRelative);
    QFETCH(QString, payloadRelative);
    QFETCH(QStringList, neighbours);

    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QString installDir = temp.filePath(installRelative);
    const QString payloadDir = temp.filePath(payloadRelative);
    const QString container = QFileInfo(payloadDir).absolutePath();
    const QString clientLog = temp.filePath(QStringLiteral("client.log"));
    const QString outsideDir = temp.filePath(QStringLiteral("outside-data"));
    QVERIFY(writeInstallation(installDir, clientLog, outsideDir));
    QVERIFY(writePayload(payloadDir, clientLog));
    for (const QString &name : neighbours)
        QVERIFY(writeFile(QDir(container).filePath(name), name.toUtf8() + " of the user\n"));

    const TreeSnapshot payload = TreeSnapshot::take(payloadDir);
    const TreeSnapshot before = TreeSnapshot::take(installDir);
    const TreeSnapshot outsideBefore = TreeSnapshot::take(outsideDir);
    QStringList neighbourTops;
    for (const QString &name : neighbours)
        neighbourTops << name.section(QLatin1Char('/'), 0, 0);
    const TreeSnapshot neighboursBefore = TreeSnapshot::take(container).restrictedTo(neighbourTops);

    UpdaterProcess updater;
    updater.setWorkingDirectory(temp.path());
    // The user's standard folders (Downloads among them) follow from HOME.
    updater.setEnvironmentValue(QStringLiteral("HOME"), temp.filePath(QStringLiteral("home")));
    updater.setEnvironmentValue(QStringLiteral("XDG_CONFIG_HOME"),
                                temp.filePath(QStringLiteral("home/.config")));
    QString error;
    QVERIFY2(updater.start(offlineArguments(payloadDir, installDir), &error), qPrintable(error));
    QVERIFY2(updater.waitForExit(), "the updater did not finish the update and close its window");
    QCOMPARE(updater.exitStatus(), QProcess::NormalExit);
    QCOMPARE(updater.exitCode(), 0);

    const QStringList problems = problemsAfterUpdate(installDir, payload, before);
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join(QLatin1Char('\n'))));
    QCOMPARE(TreeSnapshot::take(outsideDir), outsideBefore);
    QVERIFY2(waitUntil([&] {
                 return clientLogLines(clientLog).contains(QStringLiteral("3.0.0 started"));
             }),
             "the updated client was not started");

    QVERIFY(!QFileInfo::exists(payloadDir));
    if (neighbours.isEmpty()) {
        QVERIFY2(!QFileInfo::exists(container), "the payload's own folder is left over");
    } else {
        const QStringList lost =
            neighboursBefore.differences(TreeSnapshot::take(container).restrictedTo(neighbourTops));
        QVERIFY2(lost.isEmpty(), qPrintable(lost.join(QLatin1Char('\n'))));
    }
}

void TestOfflineUpdate::runningClient_data()
{
    // How the client runs while the update starts: "waited" is the installed client, given as
    // --wait-pid, which exits by itself a few seconds later; "ended" is a process of the
    // installation that never exits by itself and that the update must end.
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("imageName");

    QTest::newRow("client given as wait pid exits late")
        << QStringLiteral("waited") << QStringLiteral("Orvalink.exe");
    QTest::newRow("client still running is ended")
        << QStringLiteral("ended") << QStringLiteral("Orvalink.exe");
    QTest::newRow("companion still running is ended")
        << QStringLiteral("ended") << QStringLiteral("Core.exe");
    QTest::newRow("program in a sub-folder is ended")
        << QStringLiteral("ended") << QStringLiteral("tools/agent");
    // The installed client closes when asked, as it must to remove the proxy and routes it set.
    QTest::newRow("client asked to close")
        << QStringLiteral("asked") << QStringLiteral("Orvalink.exe");
}

void TestOfflineUpdate::runningClient()
{
    QFETCH(QString, kind);
    QFETCH(QString, imageName);

    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QString installDir = temp.filePath(QStringLiteral("Orvalink"));
    const QString payloadDir = temp.filePath(QStringLiteral("drop/payload"));
    const QString clientLog = temp.filePath(QStringLiteral("client.log"));
    QVERIFY(
        writeInstallation(installDir, clientLog, temp.filePath(QStringLiteral("outside-data"))));
    QVERIFY(writePayload(payloadDir, clientLog));
    const TreeSnapshot payload = TreeSnapshot::take(payloadDir);
    const TreeSnapshot before = TreeSnapshot::take(installDir);

    // The waited-for client exits only when this file appears.
    const QString clientMayExit = temp.filePath(QStringLiteral("client-may-exit"));
    QProcess client;
    QStringList arguments = offlineArguments(payloadDir, installDir);
    if (kind == QLatin1String("waited")) {
        // The installed client's script, run from elsewhere so that it is waited for, not ended.
        const QString image = temp.filePath(QStringLiteral("running/client-2.4.1"));
        QDir().mkpath(QFileInfo(image).absolutePath());
        QVERIFY(QFile::copy(QDir(installDir).filePath(imageName), image));
        client.start(image, {QStringLiteral("--until"), clientMayExit});
        QVERIFY(client.waitForStarted());
        arguments << QStringLiteral("--wait-pid") << QString::number(client.processId());
    } else if (kind == QLatin1String("asked")) {
        client.start(QDir(installDir).filePath(imageName),
                     {QStringLiteral("--stay"), QStringLiteral("600")});
        QVERIFY(client.waitForStarted());
    } else {
        // A program that only ends when killed, in the installation under the client's name.
        const QString image = QDir(installDir).filePath(imageName);
        QFile::remove(image);
        QDir().mkpath(QFileInfo(image).path());
        QVERIFY(QFile::copy(QStandardPaths::findExecutable(QStringLiteral("sleep")), image));
        QVERIFY(QFile::setPermissions(image, QFile::permissions(image) | QFileDevice::ExeOwner));
        client.start(image, {QStringLiteral("600")});
        QVERIFY(client.waitForStarted());
    }

    UpdaterProcess updater;
    updater.setWorkingDirectory(temp.path());
    QString error;
    QVERIFY2(updater.start(arguments, &error), qPrintable(error));

    if (kind == QLatin1String("waited")) {
        // While the client runs, nothing of its installation may change: watched for a while,
        // then the client is let go.
        QTest::qWait(3000);
        QCOMPARE(client.state(), QProcess::Running);
        const QStringList changes = before.differences(TreeSnapshot::take(installDir));
        QVERIFY2(changes.isEmpty(),
                 qPrintable(QStringLiteral("changed while the client still ran:\n")
                            + changes.join(QLatin1Char('\n'))));
        QVERIFY(writeFile(clientMayExit, QByteArray()));
    }

    QVERIFY2(updater.waitForExit(), "the updater did not finish the update and close its window");
    QCOMPARE(updater.exitCode(), 0);
    QVERIFY2(client.waitForFinished(eventDeadlineMs),
             "the client's process still runs after the update");
    const QStringList problems = problemsAfterUpdate(installDir, payload, before);
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join(QLatin1Char('\n'))));
    QVERIFY2(waitUntil([&] {
                 return clientLogLines(clientLog).contains(QStringLiteral("3.0.0 started"));
             }),
             qPrintable(QStringLiteral("the updated client was not started; its log: ")
                        + clientLogLines(clientLog).join(QStringLiteral(", "))));

    if (kind != QLatin1String("ended")) {
        // It was waited for or closed, not killed: it wrote its last line before the new client
        // started.
        QCOMPARE(client.exitStatus(), QProcess::NormalExit);
        QCOMPARE(clientLogLines(clientLog),
                 (QStringList{QStringLiteral("2.4.1 started"),
                              kind == QLatin1String("waited") ? QStringLiteral("2.4.1 exited")
                                                              : QStringLiteral("2.4.1 closed"),
                              QStringLiteral("3.0.0 started")}));
    } else {
        QCOMPARE(client.exitStatus(), QProcess::CrashExit);
    }
}

void TestOfflineUpdate::clientBeyondReach_data()
{
    // The client runs as root, the updater as nobody, who may not signal it: either the client
    // given as --wait-pid (it exits by itself soon after), or a companion in the installation,
    // whose place the updater may see (CAP_SYS_PTRACE) or not, but which it cannot end.
    QTest::addColumn<bool>("waited");
    QTest::addColumn<bool>("seen"); // with CAP_SYS_PTRACE
    QTest::newRow("wait pid") << true << false;
    QTest::newRow("companion survives the kill") << false << true;
    // Known only by its name and its image in use, as another session's process on Windows.
    QTest::newRow("companion unseen") << false << false;
}

void TestOfflineUpdate::clientBeyondReach()
{
    QFETCH(bool, waited);
    QFETCH(bool, seen);

    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QString installDir = temp.filePath(QStringLiteral("Orvalink"));
    const QString payloadDir = temp.filePath(QStringLiteral("drop/payload"));
    const QString clientLog = temp.filePath(QStringLiteral("client.log"));
    QVERIFY(
        writeInstallation(installDir, clientLog, temp.filePath(QStringLiteral("outside-data"))));
    QVERIFY(writePayload(payloadDir, clientLog));
    QProcess client;
    QStringList arguments = offlineArguments(payloadDir, installDir);
    if (waited) {
        client.start(QStringLiteral("sleep"), {QStringLiteral("3")});
        arguments << QStringLiteral("--wait-pid") << QString::number(client.processId());
    } else {
        const QString image = QDir(installDir).filePath(QStringLiteral("Core.exe"));
        QVERIFY(QFile::remove(image));
        QVERIFY(QFile::copy(QStandardPaths::findExecutable(QStringLiteral("sleep")), image));
        client.start(image, {QStringLiteral("60")});
    }
    QVERIFY(client.waitForStarted());
    // All else is the updater's to change: only the client may stand in its way.
    QString output;
    QVERIFY2(runCommand(QStringLiteral("chown"),
                        {QStringLiteral("-R"), QStringLiteral("65534:65534"), temp.path()},
                        &output),
             qPrintable(output));
    const TreeSnapshot before = TreeSnapshot::take(installDir);

    QStringList launcher{QStringLiteral("setpriv"), QStringLiteral("--reuid=65534"),
                         QStringLiteral("--regid=65534"), QStringLiteral("--clear-groups")};
    if (seen)
        launcher << QStringLiteral("--inh-caps=+sys_ptrace")
                 << QStringLiteral("--ambient-caps=+sys_ptrace");
    UpdaterProcess updater;
    updater.setLauncher(launcher);
    updater.setWorkingDirectory(temp.path());
    updater.setEnvironmentValue(QStringLiteral("HOME"), temp.path());
    QString error;
    QVERIFY2(updater.start(arguments, &error), qPrintable(error));
    // A failed update keeps its window open. One that went ahead would have ended well before:
    // after at most 5 s for the ended processes to go, the pause of 1.2 s and the installation.
    QVERIFY2(updater.staysRunningFor(10000), qPrintable(updater.output()));
    updater.kill();

    const QStringList changes = before.differences(TreeSnapshot::take(installDir));
    QVERIFY2(changes.isEmpty(), qPrintable(changes.join(QLatin1Char('\n'))));
    QVERIFY(QFileInfo::exists(payloadDir));
    if (!waited)
        QCOMPARE(client.state(), QProcess::Running);
    client.kill();
    client.waitForFinished();
}

QTEST_MAIN(TestOfflineUpdate)
#include "tst_offlineupdate.moc"
