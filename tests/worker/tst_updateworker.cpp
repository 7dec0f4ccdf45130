#include "filesystemfaults.h"
#include "platform/processwait.h"
#include "workerharness.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/stat.h>

using namespace WorkerHarness;

// The worker's whole run on its own thread, with the real stand-in for taskkill beside the test
// and the real installation: its signals, its waits and what its
// clean-up leaves on disk.
class TestUpdateWorker : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void signalSequence_data();
    void signalSequence();
    void waitForClient_data();
    void waitForClient();
    void endsOnlyTheClientsProcesses();
    void failureAfterStop_data();
    void failureAfterStop();
    void offlineCleanup_data();
    void offlineCleanup();
    void payloadRefused_data();
    void payloadRefused();
    void offlinePayloadOnAnotherVolume();
    void payloadOfAnotherUserTakesTheInstallationsOwnership();
    void payloadConfigThatCannotGo();
    void clientOutlivesTheWait();

private:
    QString path(const QString &relative) const { return QDir(tmp->path()).filePath(relative); }
    Updater::UpdaterOptions offlineOptions(const QString &payload) const;
    Updater::UpdaterOptions onlineOptions() const;
    bool startCopyOfHelper(QProcess *process, const QString &name, int sleepMs,
                           bool ignoreTerm = false);

    std::unique_ptr<QTemporaryDir> tmp;
    QString immutablePath;
};

namespace {

const QStringList installedFiles{"Orvalink.exe", "bin/", "bin/Core.exe"};

Updater::UpdateManifest manifestWithVersion(const QString &version)
{
    Updater::UpdateManifest manifest;
    manifest.version = version;
    return manifest;
}

} // namespace

void TestUpdateWorker::initTestCase()
{
    for (const char *program : {"taskkill", "testhelper"})
        QVERIFY2(QFileInfo::exists(QCoreApplication::applicationDirPath() + "/" + program),
                 program);
}

void TestUpdateWorker::init()
{
    tmp = std::make_unique<QTemporaryDir>();
    QVERIFY(tmp->isValid());
    QVERIFY(writeTree(path("app"), {{"Orvalink.exe", "old"}, {"old-only.txt", "old"}}));
    QVERIFY(writeTree(path("offline/payload"), {{"Orvalink.exe", "new"}, {"bin/Core.exe", "new"}}));
    QVERIFY(writeTree(path("source/Orvalink"), {{"Orvalink.exe", "new"}, {"bin/Core.exe", "new"}}));
    QVERIFY(QDir().mkpath(path(".orvalink-update")));
    QVERIFY(zipTree(path("source"), path(".orvalink-update/package.zip")));
}

void TestUpdateWorker::cleanup()
{
    if (!immutablePath.isEmpty())
        QProcess::execute(QStringLiteral("chattr"), {"-i", immutablePath});
    immutablePath.clear();
    tmp.reset();
}

Updater::UpdaterOptions TestUpdateWorker::offlineOptions(const QString &payload) const
{
    Updater::UpdaterOptions options;
    options.offlinePayloadRoot = payload;
    options.installDir = path("app");
    options.currentVersion = QStringLiteral("2.9.0");
    return options;
}

Updater::UpdaterOptions TestUpdateWorker::onlineOptions() const
{
    Updater::UpdaterOptions options = offlineOptions(QString());
    options.manifestUrl = QStringLiteral("http://127.0.0.1:9/manifest.json");
    return options;
}

bool TestUpdateWorker::startCopyOfHelper(QProcess *process, const QString &name, int sleepMs,
                                         bool ignoreTerm)
{
    const QString copy = path(name);
    QFile::remove(copy);
    QDir().mkpath(QFileInfo(copy).absolutePath());
    if (!QFile::copy(QCoreApplication::applicationDirPath() + "/testhelper", copy))
        return false;
    QStringList steps{"--sleep", QString::number(sleepMs)};
    if (ignoreTerm)
        steps.prepend("--ignore-term");
    process->start(copy, steps);
    return process->waitForStarted();
}

void TestUpdateWorker::signalSequence_data()
{
    QTest::addColumn<bool>("online");
    QTest::addColumn<QString>("payload"); // offline payload root, relative to the test directory
    QTest::addColumn<bool>("removePackage");
    QTest::addColumn<QStringList>("expected");

    const QStringList unpacking{stage("Распаковка пакета", 72), detail("Распаковка пакета...")};
    const QStringList applying{stage("Применение обновления", 80),
                               detail("Завершение процессов...")};
    const QStringList copying{stage("Копирование файлов", 85), detail("Копирование файлов...")};
    const QStringList cleaning{stage("Очистка", 95), detail("Удаление временных файлов...")};

    QTest::newRow("online success")
        << true << QString() << false
        << unpacking + applying + copying + cleaning + QStringList{finished(true, "3.1.0")};
    QTest::newRow("offline success")
        << false << "offline/payload" << false
        << applying + copying + cleaning + QStringList{finished(true, "3.0.0")};
    QTest::newRow("extraction fails")
        << true << QString() << true
        << unpacking
               + QStringList{finished(false, "Failed to extract package: Failed to open "
                                             "'{package}': No such file or directory")};
    QTest::newRow("installation fails")
        << false << "offline/missing" << false
        << applying + copying + QStringList{finished(false, "Extracted payload is missing.")};
    QTest::newRow("blank payload root is offline mode")
        << false << "  " << false
        << applying + copying + QStringList{finished(false, "Extracted payload is missing.")};
}

void TestUpdateWorker::signalSequence()
{
    QFETCH(bool, online);
    QFETCH(QString, payload);
    QFETCH(bool, removePackage);
    QFETCH(QStringList, expected);

    const QString package = path(".orvalink-update/package.zip");
    if (removePackage)
        QVERIFY(QFile::remove(package));
    const auto options =
        online ? onlineOptions()
               : offlineOptions(payload.trimmed().isEmpty() ? payload : path(payload));
    const RunResult run = runWorker(options, manifestWithVersion(online ? "3.1.0" : "3.0.0"));

    expected.replaceInStrings(QStringLiteral("{package}"), package);
    QCOMPARE(run.events, expected);
    QCOMPARE(run.finishedCount, 1);

    const bool succeeded = expected.last().startsWith(QStringLiteral("finished true"));
    if (succeeded)
        QCOMPARE(listing(path("app")), installedFiles);
    else
        QCOMPARE(listing(path("app")), (QStringList{"Orvalink.exe", "old-only.txt"}));
    // Online success removes its staging directory; offline mode and failures leave it alone.
    QCOMPARE(QFileInfo::exists(path(".orvalink-update")), !(online && succeeded));
    QVERIFY(!QFileInfo::exists(path(".orvalink-backup-app")) || !succeeded);
    QVERIFY(!QFileInfo::exists(path(".orvalink-incoming-app")) || !succeeded);
}

void TestUpdateWorker::waitForClient_data()
{
    QTest::addColumn<int>("clientLifeMs"); // -1: the client has already gone
    QTest::newRow("exits after a moment") << 1500;
    QTest::newRow("already gone") << -1;
}

void TestUpdateWorker::waitForClient()
{
    QFETCH(int, clientLifeMs);

    QProcess client;
    client.start(QCoreApplication::applicationDirPath() + "/testhelper",
                 {"--sleep", QString::number(qMax(clientLifeMs, 0))});
    QVERIFY(client.waitForStarted());
    auto options = offlineOptions(path("offline/payload"));
    options.waitPid = client.processId();
    if (clientLifeMs < 0)
        QVERIFY(client.waitForFinished());

    const RunResult run = runWorker(options, manifestWithVersion("3.0.0"));
    QCOMPARE(run.events.last(), finished(true, "3.0.0"));
    // The wait ends with the client, not with the limit; the taskkill pause comes on top.
    QVERIFY2(run.elapsedMs >= qMax(clientLifeMs, 0) + 1200,
             qPrintable(QString::number(run.elapsedMs)));
    QVERIFY2(run.elapsedMs < qMax(clientLifeMs, 0) + 45000,
             qPrintable(QString::number(run.elapsedMs)));
}

void TestUpdateWorker::endsOnlyTheClientsProcesses()
{
    // The client and a program in a sub-folder run from the installation; the client closes when
    // asked, the other has to be ended by force. A program of the companion's name runs from
    // elsewhere and belongs to someone else.
    QProcess client;
    QProcess agent;
    QProcess stranger;
    QVERIFY(startCopyOfHelper(&client, QStringLiteral("app/Orvalink.exe"), 120000));
    QVERIFY(startCopyOfHelper(&agent, QStringLiteral("app/tools/agent"), 120000, true));
    QVERIFY(startCopyOfHelper(&stranger, QStringLiteral("elsewhere/Core.exe"), 120000));

    // Looked at on the worker's thread as it announces the copying, before any file changes.
    const QList<qint64> clientIds{client.processId(), agent.processId()};
    QList<qint64> runningAtCopy;
    const auto atStage = [&](int value) {
        for (const qint64 pid : clientIds) {
            if (value == 85
                && Updater::Platform::waitForProcessExit(pid, 0)
                       == Updater::Platform::ProcessWaitResult::TimedOutOrFailed)
                runningAtCopy << pid;
        }
    };
    const RunResult run = runWorker(offlineOptions(path("offline/payload")),
                                    manifestWithVersion("3.0.0"), eventDeadlineMs, atStage);
    QCOMPARE(run.events.last(), finished(true, "3.0.0"));
    QCOMPARE(runningAtCopy, QList<qint64>());
    // Asked to close first (SIGTERM from the taskkill stand-in), then ended by force.
    for (auto [process, signal] : {std::pair{&client, SIGTERM}, std::pair{&agent, SIGKILL}}) {
        // The end may already have been noticed while the run was awaited.
        if (process->state() != QProcess::NotRunning)
            QVERIFY(process->waitForFinished(eventDeadlineMs));
        QCOMPARE(process->exitStatus(), QProcess::CrashExit);
        QCOMPARE(process->exitCode(), signal);
    }
    QCOMPARE(stranger.state(), QProcess::Running);
    stranger.kill();
    stranger.waitForFinished();
}

void TestUpdateWorker::failureAfterStop_data()
{
    QTest::addColumn<QString>("client"); // "ended" from the installation, "waited" for, or "none"
    // "payload gone" as the copying begins; "changed": and a file of the installation changes;
    // "in place": an immovable installation whose client cannot be replaced, rolled back across
    // a mount
    QTest::addColumn<QString>("failure");
    QTest::addColumn<bool>("restartable");
    QTest::newRow("client ended, installation as it was") << "ended"
                                                          << "payload gone" << true;
    QTest::newRow("client waited for, installation as it was") << "waited"
                                                               << "payload gone" << true;
    QTest::newRow("client ended, installation changed") << "ended"
                                                        << "changed" << false;
    QTest::newRow("no client was running") << "none"
                                           << "payload gone" << false;
    // Copied back, not renamed back: the same contents, other times.
    QTest::newRow("client ended, in place rolled back") << "ended"
                                                        << "in place" << true;
}

void TestUpdateWorker::failureAfterStop()
{
    QFETCH(QString, client);
    QFETCH(QString, failure);
    QFETCH(bool, restartable);

    QProcess process;
    auto options = offlineOptions(path("offline/payload"));
    if (client == "ended") {
        QVERIFY(startCopyOfHelper(&process, QStringLiteral("app/Orvalink.exe"), 120000));
    } else if (client == "waited") {
        QVERIFY(startCopyOfHelper(&process, QStringLiteral("running/Orvalink.exe"), 300));
        options.waitPid = process.processId();
    }
    // The user's entry goes aside as a copy (renames out of the mount fail) and comes back so.
    QVERIFY(writeTree(path("app"), {{"config/configs.json", "{}"}}));
    FileSystemFaults faults;
    if (failure == "in place"
        && !(faults.bindOntoItself(path("app")) && faults.makeImmutable(path("app/Orvalink.exe"))))
        QSKIP("mount --bind or chattr +i is not available here");
    const auto atStage = [&](int value) {
        if (value == 85 && failure != "in place")
            QDir(path("offline/payload")).removeRecursively();
        if (value == 85 && failure == "changed")
            writeFile(path("app/old-only.txt"), "changed");
    };
    const RunResult run =
        runWorker(options, manifestWithVersion("3.0.0"), eventDeadlineMs, atStage);
    QCOMPARE(
        run.events.mid(run.events.size() - 2),
        (QStringList{restartable ? QStringLiteral("restartable") : detail("Копирование файлов..."),
                     finished(false, failure == "in place"
                                         ? "Failed to replace Orvalink.exe during in-place update."
                                         : "Extracted payload is missing.")}));
    process.waitForFinished();
}

void TestUpdateWorker::offlineCleanup_data()
{
    QTest::addColumn<QString>("payload");
    QTest::addColumn<QStringList>("kept");    // must exist after the run
    QTest::addColumn<QStringList>("removed"); // must not

    QTest::newRow("payload's own directory is deleted")
        << "offline/payload" << QStringList{"app", ".orvalink-update/package.zip"}
        << QStringList{"offline"};
    QTest::newRow("payload in the home folder: home stays")
        << "home/payload" << QStringList{"home/notes.txt"} << QStringList{"home/payload"};
    QTest::newRow("payload beside the installation: parent stays")
        << "payload" << QStringList{"app", "source"} << QStringList{"payload"};
}

void TestUpdateWorker::offlineCleanup()
{
    QFETCH(QString, payload);
    QFETCH(QStringList, kept);
    QFETCH(QStringList, removed);

    QVERIFY(writeTree(path("home"), {{"notes.txt", "mine"}}));
    if (!QFileInfo::exists(path(payload)))
        QVERIFY(QDir().rename(path("offline/payload"), path(payload)));
    const QByteArray oldHome = qgetenv("HOME");
    qputenv("HOME", path("home").toLocal8Bit());
    const RunResult run = runWorker(offlineOptions(path(payload)), manifestWithVersion("3.0.0"));
    qputenv("HOME", oldHome);

    QCOMPARE(run.events.last(), finished(true, "3.0.0"));
    QCOMPARE(listing(path("app")), installedFiles);
    for (const QString &entry : kept)
        QVERIFY2(QFileInfo::exists(path(entry)), qPrintable(entry));
    for (const QString &entry : removed)
        QVERIFY2(!QFileInfo::exists(path(entry)), qPrintable(entry));
    QVERIFY(!QFileInfo::exists(path(".orvalink-backup-app")));
}

void TestUpdateWorker::payloadRefused_data()
{
    QTest::addColumn<QString>("payload");
    QTest::addColumn<QString>("message");

    const QString notDirectory = QStringLiteral("Offline payload root is not a directory.");
    QTest::newRow("the release zip passed as the root") << "offline/package.zip" << notDirectory;
    QTest::newRow("a link to the payload") << "offline/link" << notDirectory;
    QTest::newRow("release folder nested one level too deep")
        << "offline" << QStringLiteral("The package does not contain Orvalink.exe.");
}

void TestUpdateWorker::payloadRefused()
{
    // Each would have replaced the installation with something that never starts, reported
    // success and left the user's entries aside.
    QFETCH(QString, payload);
    QFETCH(QString, message);
    QVERIFY(writeTree(path("app"), {{"profiles/home.json", "mine"}}));
    QVERIFY(QFile::copy(path(".orvalink-update/package.zip"), path("offline/package.zip")));
    QVERIFY(QFile::link(path("offline/payload"), path("offline/link")));
    const QStringList before = listing(tmp->path());

    const RunResult run = runWorker(offlineOptions(path(payload)), manifestWithVersion("3.0.0"));
    QCOMPARE(run.events, QStringList{finished(false, message)});
    QCOMPARE(listing(tmp->path()), before);
}

void TestUpdateWorker::offlinePayloadOnAnotherVolume()
{
    // The client's TEMP on C:, the installation on D:: the payload cannot be renamed into place.
    FileSystemFaults faults;
    if (!faults.mountTmpfs(path("volume"), QStringLiteral("4M")))
        QSKIP("mount is not available here");
    QVERIFY(writeTree(path("volume/offline/payload"),
                      {{"Orvalink.exe", "new"}, {"bin/Core.exe", "new"}, {".hidden", "h"}}));

    const RunResult run =
        runWorker(offlineOptions(path("volume/offline/payload")), manifestWithVersion("3.0.0"));
    QCOMPARE(run.events.last(), finished(true, "3.0.0"));
    QCOMPARE(listing(path("app")),
             QStringList({".hidden", "Orvalink.exe", "bin/", "bin/Core.exe"}));
    QVERIFY(!QFileInfo::exists(path("volume/offline")));
    QVERIFY(!QFileInfo::exists(path(".orvalink-update/offline-payload")));
}

void TestUpdateWorker::payloadOfAnotherUserTakesTheInstallationsOwnership()
{
    // Moved in as they were, the user's files would let the user change the program later.
    const QString payload = path("offline/payload");
    QVERIFY(QProcess::execute("chown", {"-R", "65534:65534", payload}) == 0);
    QVERIFY(QProcess::execute("chmod", {"-R", "a+rwx", payload}) == 0);
    struct stat install = {};
    QVERIFY(stat(QFile::encodeName(path("app")).constData(), &install) == 0);

    const RunResult run = runWorker(offlineOptions(payload), manifestWithVersion("3.0.0"));
    QCOMPARE(run.events.last(), finished(true, "3.0.0"));
    for (const QString &entry : installedFiles) {
        struct stat status = {};
        QVERIFY(stat(QFile::encodeName(path("app/" + entry)).constData(), &status) == 0);
        QCOMPARE(status.st_uid, install.st_uid);
        QCOMPARE(status.st_mode & 0777, install.st_mode & 0777);
    }
}

void TestUpdateWorker::payloadConfigThatCannotGo()
{
    // The payload brings a config that cannot be deleted: the user's config takes its place
    // all the same, and the payload's waits in the stale directory for the next installation.
    QVERIFY(writeTree(path("app"), {{"config/configs.json", "{}"}}));
    QVERIFY(writeTree(path("offline/payload"), {{"config/locked.bin", "payload"}}));
    immutablePath = path("offline/payload/config/locked.bin");
    if (QProcess::execute(QStringLiteral("chattr"), {"+i", immutablePath}) != 0) {
        immutablePath.clear();
        QSKIP("chattr +i is not available on this file system");
    }
    // Where the installation moves it.
    immutablePath = path(".orvalink-stale-app/1-.orvalink-shipped-config/locked.bin");

    const RunResult run =
        runWorker(offlineOptions(path("offline/payload")), manifestWithVersion("3.0.0"), 60000);
    QCOMPARE(run.events.last(), finished(true, "3.0.0"));
    QVERIFY(QFileInfo::exists(path("app/config/configs.json")));
    QVERIFY(!QFileInfo::exists(path("app/config/locked.bin")));
    QVERIFY(!QFileInfo::exists(path(".orvalink-backup-app")));
}

void TestUpdateWorker::clientOutlivesTheWait()
{
    if (qEnvironmentVariableIsEmpty("UPDATER_RUN_SLOW_TESTS"))
        QSKIP("waits the full 60 s; runs in the slow suite (UPDATER_SLOW_TESTS=ON, ctest -L slow)");

    // The client in the installation: if taskkill ran after the timeout, it would end it.
    QProcess client;
    QVERIFY(startCopyOfHelper(&client, QStringLiteral("app/Orvalink.exe"), 90000));
    auto options = offlineOptions(path("offline/payload"));
    options.waitPid = client.processId();

    const RunResult run = runWorker(options, manifestWithVersion("3.0.0"), 80000);
    QCOMPARE(run.events,
             (QStringList{stage("Применение обновления", 80), detail("Завершение процессов..."),
                          finished(false, "Timed out waiting for the app to close.")}));
    QVERIFY2(run.elapsedMs >= 60000, qPrintable(QString::number(run.elapsedMs)));
    QCOMPARE(client.state(), QProcess::Running);
    QCOMPARE(listing(path("app")), (QStringList{"Orvalink.exe", "old-only.txt"}));
    client.kill();
    client.waitForFinished();
}

QTEST_GUILESS_MAIN(TestUpdateWorker)
#include "tst_updateworker.moc"
