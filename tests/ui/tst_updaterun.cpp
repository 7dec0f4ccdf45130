#include "filesystemfaults.h"
#include "install/installationlock.h"
#include "platform/processwait.h"
#include "testfiles.h"
#include "testhttpserver.h"
#include "ui/updaterwindow.h"
#include "windowprobe.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

using Updater::UpdaterWindow;
using namespace TestSupport;

// One whole update run as the window shows it, with the real worker behind it: the stages, the
// bar and the version line in order, the relaunch and the self-closing window, and what happens
// when the window is closed while the run is still going (allowed before the installation, refused
// during it).
class TestUpdateRun : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void offlineRun_data();
    void offlineRun();
    void workerFailureKeepsWindowOpen_data();
    void workerFailureKeepsWindowOpen();
    void oneUpdaterPerInstallation_data();
    void oneUpdaterPerInstallation();
    void onlineRun_data();
    void onlineRun();
    void onlineStepFails_data();
    void onlineStepFails();
    void closedWhileFetching_data();
    void closedWhileFetching();
    void closeRefusedWhileInstalling_data();
    void closeRefusedWhileInstalling();

private:
    QString path(const QString &relative) const { return dir->filePath(relative); }
    Updater::UpdaterOptions baseOptions() const;
    bool makePayload(const QString &root, bool withClient) const;
    QByteArray clientScript() const;

    std::unique_ptr<QTemporaryDir> dir;
};

namespace {

QStringList workerLines()
{
    return {QStringLiteral("Применение обновления"),
            QStringLiteral("Завершение процессов..."),
            QStringLiteral("Копирование файлов"),
            QStringLiteral("Копирование файлов..."),
            QStringLiteral("Очистка"),
            QStringLiteral("Удаление временных файлов...")};
}

QString logOf(const WindowProbe &probe)
{
    return QStringLiteral("the window's log:\n") + probe.logLines().join(QLatin1Char('\n'));
}

// Until the run has ended (the close button is enabled after success and failure alike).
bool waitForEnd(const WindowProbe &probe)
{
    const bool ended = QTest::qWaitFor([&probe] { return probe.closeEnabled(); }, eventDeadlineMs);
    if (!ended)
        qWarning("the run did not end; %s", qPrintable(logOf(probe)));
    return ended;
}

} // namespace

void TestUpdateRun::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    QVERIFY(writeFile(path(QStringLiteral("apps/Orvalink/Orvalink.exe")), "old client"));
    QVERIFY(
        writeFile(path(QStringLiteral("apps/Orvalink/profiles/home.json")), "{\"user\": true}"));
}

Updater::UpdaterOptions TestUpdateRun::baseOptions() const
{
    Updater::UpdaterOptions options;
    options.installDir = path(QStringLiteral("apps/Orvalink"));
    options.currentVersion = QStringLiteral("2.4.1");
    options.channel = QStringLiteral("stable");
    return options;
}

// A client that writes the files it holds open to apps/relaunched.fds and appends "started" to
// apps/relaunched as it starts; with --stay it runs until it is asked to close, and notes "closed".
QByteArray TestUpdateRun::clientScript() const
{
    const QByteArray marker = path(QStringLiteral("apps/relaunched")).toUtf8();
    return "#!/bin/sh\nreadlink /proc/$$/fd/* > '" + marker
           + ".fds'\n[ \"$1\" = --stay ] && trap "
             "'kill $!; echo closed >> \""
           + marker + "\"; exit 0' TERM\necho started >> '" + marker
           + "'\nif [ \"$1\" = --stay ]; then sleep 600 & wait; fi\n";
}

// A release tree; its client, when asked for, is one that can be started.
bool TestUpdateRun::makePayload(const QString &root, bool withClient) const
{
    // Without a startable client the payload still holds one, which cannot be started.
    return writeFile(root + QStringLiteral("/Core.exe"), "new core")
           && (withClient ? writeExecutable(root + QStringLiteral("/Orvalink.exe"), clientScript())
                          : writeFile(root + QStringLiteral("/Orvalink.exe"), clientScript()));
}

void TestUpdateRun::offlineRun_data()
{
    QTest::addColumn<bool>("withClient");
    QTest::newRow("client relaunched") << true;
    // A client that cannot be started changes nothing in the report but a line that says so;
    // the window still closes.
    QTest::newRow("client cannot be started") << false;
}

void TestUpdateRun::offlineRun()
{
    QFETCH(bool, withClient);
    const QString payload = path(QStringLiteral("incoming/payload"));
    QVERIFY(makePayload(payload, withClient));
    Updater::UpdaterOptions options = baseOptions();
    options.offlinePayloadRoot = payload;
    // Offline mode wins over a manifest URL, which is never asked for.
    options.manifestUrl = QStringLiteral("http://127.0.0.1:1/manifest.json");

    // Not close-on-exec, as one the updater inherited: the client must not get it.
    const int leakProbe = ::open(QFile::encodeName(path(QStringLiteral("leak-probe"))).constData(),
                                 O_CREAT | O_WRONLY, 0600);
    QVERIFY(leakProbe >= 0);
    const auto closeProbe = qScopeGuard([leakProbe] { ::close(leakProbe); });

    UpdaterWindow window(options);
    WindowProbe probe(&window);
    QString versionAtHandOver;
    connect(window.findChild<QProgressBar *>(), &QProgressBar::valueChanged, this, [&](int value) {
        if (value == 75)
            versionAtHandOver = probe.versionText();
    });
    window.show();
    QVERIFY(waitForEnd(probe));
    QElapsedTimer sinceSuccess;
    sinceSuccess.start();

    const QString client = path(QStringLiteral("apps/Orvalink/Orvalink.exe"));
    QCOMPARE(versionAtHandOver, QStringLiteral("2.4.1 -> 3.0.0"));
    QCOMPARE(probe.barValues(), QList<int>({72, 75, 80, 85, 95, 100}));
    QCOMPARE(probe.logLines(),
             QStringList({QStringLiteral("Подготовка локального пакета"),
                          QStringLiteral("Установка обновления...")})
                 + workerLines()
                 + QStringList({QStringLiteral("Обновление установлено"),
                                QStringLiteral("Запуск %1").arg(client)})
                 + (withClient ? QStringList()
                               : QStringList{QStringLiteral("Could not start %1").arg(client)}));
    QCOMPARE(probe.stageText(), QStringLiteral("Обновление установлено"));
    QCOMPARE(probe.versionText(), QStringLiteral("2.4.1 -> 3.0.0"));
    QCOMPARE(readFile(path(QStringLiteral("apps/Orvalink/Core.exe"))), QByteArray("new core"));

    QVERIFY(window.isVisible());
    QTRY_VERIFY2_WITH_TIMEOUT(!window.isVisible(), qPrintable(logOf(probe)), eventDeadlineMs);
    QVERIFY2(sinceSuccess.elapsed() >= 1000, qPrintable(QString::number(sinceSuccess.elapsed())));
    QCOMPARE(window.result(), int(QDialog::Accepted));
    if (withClient) {
        QTRY_COMPARE_WITH_TIMEOUT(readFile(path(QStringLiteral("apps/relaunched"))),
                                  QByteArray("started\n"), eventDeadlineMs);
        const QByteArray held = readFile(path(QStringLiteral("apps/relaunched.fds")));
        QVERIFY2(!held.isEmpty() && !held.contains("leak-probe"), held.constData());
    } else
        QVERIFY(!QFileInfo::exists(path(QStringLiteral("apps/relaunched"))));
}

void TestUpdateRun::workerFailureKeepsWindowOpen_data()
{
    QTest::addColumn<bool>("clientRunning");
    QTest::newRow("nothing was running") << false;
    // The client is stopped, and started again as the installation is wholly the old one.
    QTest::newRow("client stopped and started again") << true;
}

void TestUpdateRun::workerFailureKeepsWindowOpen()
{
    QFETCH(bool, clientRunning);
    const QString clientPath = path(QStringLiteral("apps/Orvalink/Orvalink.exe"));
    QProcess client;
    if (clientRunning) {
        QVERIFY(writeExecutable(clientPath, clientScript()));
        client.start(clientPath, {QStringLiteral("--stay")});
        QVERIFY(client.waitForStarted());
        QTRY_COMPARE_WITH_TIMEOUT(readFile(path(QStringLiteral("apps/relaunched"))),
                                  QByteArray("started\n"), eventDeadlineMs);
    }
    const QByteArray oldClient = readFile(clientPath);
    Updater::UpdaterOptions options = baseOptions();
    options.offlinePayloadRoot = path(QStringLiteral("incoming/payload-never-written"));

    UpdaterWindow window(options);
    WindowProbe probe(&window);
    window.show();
    QVERIFY(waitForEnd(probe));

    const QStringList lines = probe.logLines();
    QCOMPARE(lines.mid(0, 6), QStringList({QStringLiteral("Подготовка локального пакета"),
                                           QStringLiteral("Установка обновления...")})
                                  + workerLines().mid(0, 4));
    QCOMPARE(lines.value(6), QStringLiteral("Ошибка обновления"));
    QVERIFY(!lines.value(7).isEmpty());
    QCOMPARE(lines.mid(8), clientRunning ? QStringList{QStringLiteral("Запуск %1").arg(clientPath)}
                                         : QStringList());
    QCOMPARE(probe.stageText(), QStringLiteral("Ошибка обновления"));
    // The bar keeps the worker's last value, and the window waits for the user.
    QCOMPARE(probe.bar(), 85);
    QTest::qWait(1500);
    QVERIFY(window.isVisible());
    QCOMPARE(readFile(clientPath), oldClient);
    if (clientRunning) {
        QTRY_COMPARE_WITH_TIMEOUT(readFile(path(QStringLiteral("apps/relaunched"))),
                                  QByteArray("started\nclosed\nstarted\n"), eventDeadlineMs);
        QCOMPARE(client.exitStatus(), QProcess::NormalExit);
    }

    // Every line of the window, with its time, in the log beside the installation.
    const QStringList logged =
        QString::fromUtf8(readFile(path(QStringLiteral("apps/.orvalink-update.log"))))
            .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(logged.size(), lines.size() + 1);
    QVERIFY2(logged.first().startsWith(QLatin1String("==== ")), qPrintable(logged.first()));
    for (qsizetype i = 0; i < lines.size(); ++i)
        QVERIFY2(logged.at(i + 1).endsWith(QLatin1Char(' ') + lines.at(i)),
                 qPrintable(logged.at(i + 1)));
}

void TestUpdateRun::oneUpdaterPerInstallation_data()
{
    QTest::addColumn<QString>("lockHolder");
    QTest::addColumn<QString>("message"); // empty: the update runs
    const QString running =
        QStringLiteral("Another update of this installation is already running.");
    QTest::newRow("another updater at work") << "living" << running;
    QTest::newRow("lock of a killed updater is taken over") << "killed" << QString();
    QTest::newRow("killed before it named itself in the lock") << "unnamed" << QString();
    // Another pid namespace: the updater that left the lock had the id this process has now.
    QTest::newRow("lock naming this very process") << "own pid" << QString();
    QTest::newRow("no rights beside the installation")
        << "immutable" << QStringLiteral("The updater may not write to %1.");
}

void TestUpdateRun::oneUpdaterPerInstallation()
{
    // Two updaters on one installation took each other's preserved entries for crash leftovers
    // and deleted each other's installation; the second one must touch nothing.
    QFETCH(QString, lockHolder);
    QFETCH(QString, message);
    const QString payload = path(QStringLiteral("incoming/payload"));
    QVERIFY(makePayload(payload, true));
    const QString lockFile = path(QStringLiteral("apps/.orvalink-update.lock"));
    const QByteArray host = QSysInfo::machineHostName().toUtf8();
    Updater::InstallationLock other;
    FileSystemFaults faults;
    if (lockHolder == QLatin1String("living")) {
        QVERIFY(other.acquire(path(QStringLiteral("apps/Orvalink")), nullptr));
    } else if (lockHolder == QLatin1String("unnamed")) {
        QVERIFY(writeFile(lockFile, QByteArray()));
    } else if (lockHolder == QLatin1String("own pid")) {
        QVERIFY(writeFile(lockFile, QByteArray::number(QCoreApplication::applicationPid())
                                        + "\ntst_updaterun\n" + host + "\n"));
    } else if (lockHolder == QLatin1String("immutable")) {
        message = message.arg(path(QStringLiteral("apps")));
        if (!faults.makeImmutable(path(QStringLiteral("apps"))))
            QSKIP("chattr +i is not available here");
    } else {
        QProcess gone;
        gone.start(QStringLiteral("true"), {});
        QVERIFY(gone.waitForStarted());
        const qint64 pid = gone.processId();
        QVERIFY(gone.waitForFinished());
        QVERIFY(writeFile(lockFile, QByteArray::number(pid) + "\nOrvalinkUpdater\n" + host + "\n"));
        // Killed while it took over a stale lock under this second one.
        QVERIFY(writeFile(lockFile + QStringLiteral(".rmlock"), QByteArray()));
    }
    const auto before = listing(path(QString()));
    Updater::UpdaterOptions options = baseOptions();
    options.offlinePayloadRoot = payload;

    UpdaterWindow window(options);
    WindowProbe probe(&window);
    window.show();
    if (message.isEmpty()) {
        QTRY_VERIFY2_WITH_TIMEOUT(!window.isVisible(), qPrintable(logOf(probe)), eventDeadlineMs);
        QCOMPARE(readFile(path(QStringLiteral("apps/Orvalink/Core.exe"))), QByteArray("new core"));
        QCOMPARE(
            QDir(path(QStringLiteral("apps")))
                .entryList({QStringLiteral(".orvalink-update.lock*")}, QDir::Files | QDir::Hidden),
            QStringList());
        return;
    }
    QVERIFY(waitForEnd(probe));
    QCOMPARE(probe.logLines(), QStringList({QStringLiteral("Ошибка обновления"), message}));
    QCOMPARE(listing(path(QString())), before);
}

void TestUpdateRun::onlineRun_data()
{
    QTest::addColumn<bool>("realZip");
    QTest::addColumn<QStringList>("workerPart");
    QTest::addColumn<QList<int>>("barAfterDownload");

    QTest::newRow("installs") << true
                              << workerLines()
                                     + QStringList{QStringLiteral("Обновление установлено")}
                              << QList<int>{75, 72, 80, 85, 95, 100};
    QTest::newRow("package is not a zip")
        << false << QStringList{QStringLiteral("Ошибка обновления")} << QList<int>{75, 72};
}

void TestUpdateRun::onlineRun()
{
    QFETCH(bool, realZip);
    QFETCH(QStringList, workerPart);
    QFETCH(QList<int>, barAfterDownload);

    QByteArray package = "PK\x05\x06 but nothing more";
    if (realZip) {
        QVERIFY(makePayload(path(QStringLiteral("release/Orvalink")), true));
        QProcess zip;
        zip.setWorkingDirectory(path(QStringLiteral("release")));
        zip.start(QStringLiteral("zip"), {QStringLiteral("-qr"), QStringLiteral("../package.zip"),
                                          QStringLiteral("Orvalink")});
        if (!zip.waitForFinished() || zip.exitCode() != 0)
            QSKIP("the zip program is needed to build the package");
        package = readFile(path(QStringLiteral("package.zip")));
    }

    TestHttpServer server;
    QVERIFY(server.start());
    TestHttpServer::Response packageResponse;
    packageResponse.body = package;
    server.setResponse("/files/package.zip", packageResponse);
    const QJsonObject manifest{
        {QStringLiteral("version"), QStringLiteral("3.2.0")},
        {QStringLiteral("package_url"), server.url(QStringLiteral("/files/package.zip"))},
        {QStringLiteral("package_hash"),
         QString::fromLatin1(
             QCryptographicHash::hash(package, QCryptographicHash::Sha256).toHex())}};
    TestHttpServer::Response manifestResponse;
    manifestResponse.body = QJsonDocument(manifest).toJson();
    server.setResponse("/manifest.json", manifestResponse);

    Updater::UpdaterOptions options = baseOptions();
    options.manifestUrl = server.url(QStringLiteral("/manifest.json"));
    UpdaterWindow window(options);
    WindowProbe probe(&window);
    window.show();
    QVERIFY(waitForEnd(probe));

    const QStringList lines = probe.logLines();
    const QStringList expectedStart{
        QStringLiteral("Проверка manifest"), QStringLiteral("Загрузка пакета"),
        QStringLiteral("Установка обновления..."), QStringLiteral("Распаковка пакета"),
        QStringLiteral("Распаковка пакета...")};
    QCOMPARE(lines.mid(0, expectedStart.size() + workerPart.size()), expectedStart + workerPart);
    QCOMPARE(probe.versionText(), QStringLiteral("2.4.1 -> 3.2.0"));

    QList<int> values = probe.barValues();
    QCOMPARE(values.mid(0, 2), QList<int>({5, 10}));
    QCOMPARE(values.at(values.size() - barAfterDownload.size() - 1), 70);
    QCOMPARE(values.mid(values.size() - barAfterDownload.size()), barAfterDownload);

    if (realZip) {
        QCOMPARE(readFile(path(QStringLiteral("apps/Orvalink/Core.exe"))), QByteArray("new core"));
        QCOMPARE(readFile(path(QStringLiteral("apps/Orvalink/profiles/home.json"))),
                 QByteArray("{\"user\": true}"));
        QVERIFY(!QFileInfo::exists(path(QStringLiteral("apps/.orvalink-update"))));
        QTRY_VERIFY2_WITH_TIMEOUT(!window.isVisible(), qPrintable(logOf(probe)), eventDeadlineMs);
    } else {
        QCOMPARE(readFile(path(QStringLiteral("apps/Orvalink/Orvalink.exe"))),
                 QByteArray("old client"));
        QCOMPARE(readFile(path(QStringLiteral("apps/.orvalink-update/package.zip"))), package);
    }
}

void TestUpdateRun::onlineStepFails_data()
{
    QTest::addColumn<int>("manifestStatus");
    QTest::addColumn<int>("packageStatus");
    QTest::addColumn<QStringList>("lines"); // URL and PATH stand for the package's URL and file
    QTest::addColumn<QList<int>>("bar");
    QTest::addColumn<QString>("versionLine");

    const QString checking = QStringLiteral("Проверка manifest");
    const QString downloading = QStringLiteral("Загрузка пакета");
    const QString failed = QStringLiteral("Ошибка обновления");
    QTest::newRow("manifest not found")
        << 404 << 200
        << QStringList{checking, failed,
                       QStringLiteral("Failed to fetch manifest: Error transferring "
                                      "MANIFEST - server replied: Not Found")}
        << QList<int>{5} << QStringLiteral("Текущая версия: 2.4.1");
    QTest::newRow("package not found")
        << 200 << 404
        << QStringList{checking, downloading, failed,
                       QStringLiteral("Failed to download package: Error transferring URL - server "
                                      "replied: Not Found")}
        << QList<int>{5, 10, 10} << QStringLiteral("2.4.1 -> 3.2.0");
    // The bar follows the download of announced size up to 70 and stays; an error page's not.
    QTest::newRow("digest mismatch")
        << 200 << 200
        << QStringList{checking, downloading, failed, QStringLiteral("SHA-256 mismatch for PATH")}
        << QList<int>{5, 10, 70} << QStringLiteral("2.4.1 -> 3.2.0");
}

void TestUpdateRun::onlineStepFails()
{
    QFETCH(int, manifestStatus);
    QFETCH(int, packageStatus);
    QFETCH(QStringList, lines);
    QFETCH(QList<int>, bar);

    TestHttpServer server;
    QVERIFY(server.start());
    TestHttpServer::Response package;
    package.status = packageStatus;
    package.body = QByteArray(1024 * 1024, 'p');
    server.setResponse("/package.zip", package);
    const QJsonObject manifestJson{
        {QStringLiteral("version"), QStringLiteral("3.2.0")},
        {QStringLiteral("package_url"), server.url(QStringLiteral("/package.zip"))},
        {QStringLiteral("package_hash"), QString(64, QLatin1Char('0'))}};
    TestHttpServer::Response manifest;
    manifest.status = manifestStatus;
    manifest.body = QJsonDocument(manifestJson).toJson();
    server.setResponse("/manifest.json", manifest);

    Updater::UpdaterOptions options = baseOptions();
    options.manifestUrl = server.url(QStringLiteral("/manifest.json"));
    UpdaterWindow window(options);
    WindowProbe probe(&window);
    window.show();
    QVERIFY(waitForEnd(probe));

    const QString packagePath = path(QStringLiteral("apps/.orvalink-update/package.zip"));
    lines.last()
        .replace(QLatin1String("MANIFEST"), options.manifestUrl)
        .replace(QLatin1String("URL"), server.url(QStringLiteral("/package.zip")))
        .replace(QLatin1String("PATH"), packagePath);
    QCOMPARE(probe.logLines(), lines);
    QList<int> values = probe.barValues();
    values.erase(std::unique(values.begin(), values.end()), values.end());
    QVERIFY2(std::is_sorted(values.begin(), values.end()), qPrintable(QTest::toString(values)));
    QCOMPARE(values.mid(0, 2), bar.mid(0, 2));
    QCOMPARE(values.constLast(), bar.constLast());
    QTEST(probe.versionText(), "versionLine");
    QVERIFY(!probe.hasWorkerThread());
    QVERIFY(window.isVisible());
}

void TestUpdateRun::closedWhileFetching_data()
{
    QTest::addColumn<QByteArray>("stalledPath"); // empty: closed before the run began
    QTest::addColumn<QString>("closing");

    for (const char *how : {"escape", "title bar", "application loop"}) {
        QTest::addRow("manifest, %s", how)
            << QByteArray("/manifest.json") << QString::fromLatin1(how);
        QTest::addRow("package, %s", how) << QByteArray("/package.zip") << QString::fromLatin1(how);
    }
    QTest::newRow("before the run began") << QByteArray() << QStringLiteral("title bar");
}

void TestUpdateRun::closedWhileFetching()
{
    QFETCH(QByteArray, stalledPath);
    QFETCH(QString, closing);

    // Half of the response arrives, then the server waits for as long as the client stays.
    TestHttpServer server;
    QVERIFY(server.start());
    const QByteArray packageBody(256 * 1024, 'p');
    TestHttpServer::Response package;
    package.body = packageBody;
    const QJsonObject manifestJson{
        {QStringLiteral("version"), QStringLiteral("3.2.0")},
        {QStringLiteral("package_url"), server.url(QStringLiteral("/package.zip"))},
        {QStringLiteral("package_hash"),
         QString::fromLatin1(
             QCryptographicHash::hash(packageBody, QCryptographicHash::Sha256).toHex())}};
    TestHttpServer::Response manifest;
    manifest.body = QJsonDocument(manifestJson).toJson();
    for (TestHttpServer::Response *response : {&manifest, &package}) {
        if (response == (stalledPath == "/package.zip" ? &package : &manifest)
            && !stalledPath.isEmpty()) {
            response->pauseAfter = response->body.size() / 2;
            response->pauseMs = -1;
        }
    }
    server.setResponse("/manifest.json", manifest);
    server.setResponse("/package.zip", package);

    Updater::UpdaterOptions options = baseOptions();
    options.manifestUrl = server.url(QStringLiteral("/manifest.json"));
    UpdaterWindow window(options);
    WindowProbe probe(&window);

    bool survivedClick = false;
    const auto close = [&window, &survivedClick, closing] {
        // While the run is going the close button does nothing; the other ways are never blocked.
        QTest::mouseClick(window.findChild<QPushButton *>(), Qt::LeftButton);
        survivedClick = window.isVisible();
        if (closing == QLatin1String("escape"))
            QTest::keyClick(&window, Qt::Key_Escape);
        else
            window.close();
    };
    connect(&server, &TestHttpServer::paused, &window,
            [&close] { QTimer::singleShot(100, close); });

    window.show();
    if (stalledPath.isEmpty())
        close();
    if (closing == QLatin1String("application loop")) {
        // As in the program: the last window closed quits the application, which ends every
        // nested event loop at once.
        QCOMPARE(QApplication::exec(), 0);
    }
    QTRY_VERIFY2_WITH_TIMEOUT(!window.isVisible(), qPrintable(logOf(probe)), eventDeadlineMs);
    QTest::qWait(200);

    QVERIFY(survivedClick);
    QVERIFY(!probe.hasWorkerThread());
    QVERIFY(!probe.logLines().contains(QStringLiteral("Установка обновления...")));
    if (stalledPath.isEmpty()) {
        QVERIFY(server.requests().isEmpty());
    } else {
        QCOMPARE(server.requests().constLast().target, stalledPath);
        QTRY_COMPARE_WITH_TIMEOUT(server.abandonedResponses(), 1, eventDeadlineMs);
    }
    QCOMPARE(readFile(path(QStringLiteral("apps/Orvalink/Orvalink.exe"))),
             QByteArray("old client"));
}

void TestUpdateRun::closeRefusedWhileInstalling_data()
{
    QTest::addColumn<QString>("closing");
    QTest::newRow("escape") << QStringLiteral("escape");
    QTest::newRow("title bar") << QStringLiteral("title bar");
    QTest::newRow("all windows") << QStringLiteral("all windows");
}

void TestUpdateRun::closeRefusedWhileInstalling()
{
    QFETCH(QString, closing);

    // The worker waits for this "client" to exit before it installs; the window is asked to
    // close meanwhile, stays, and closes itself once the installation has succeeded.
    QProcess client;
    client.start(QStringLiteral("sleep"), {QStringLiteral("2")});
    QVERIFY(client.waitForStarted());
    const QString payload = path(QStringLiteral("incoming/payload"));
    QVERIFY(makePayload(payload, false));
    Updater::UpdaterOptions options = baseOptions();
    options.offlinePayloadRoot = payload;
    UpdaterWindow window(options, std::make_shared<const Updater::Platform::HeldProcess>(
                                      client.processId(), Updater::Platform::processClockNow()));
    WindowProbe probe(&window);
    window.show();
    QVERIFY2(QTest::qWaitFor(
                 [&probe] {
                     return probe.logLines().contains(QStringLiteral("Завершение процессов..."));
                 },
                 eventDeadlineMs),
             qPrintable(logOf(probe)));
    if (closing == QLatin1String("escape"))
        QTest::keyClick(&window, Qt::Key_Escape);
    else if (closing == QLatin1String("title bar"))
        window.close();
    else
        QApplication::closeAllWindows();
    QVERIFY(window.isVisible());

    QVERIFY(waitForEnd(probe));
    QCOMPARE(probe.stageText(), QStringLiteral("Обновление установлено"));
    QTRY_VERIFY2_WITH_TIMEOUT(!window.isVisible(), qPrintable(logOf(probe)), eventDeadlineMs);
    QCOMPARE(window.result(), int(QDialog::Accepted));
    client.waitForFinished();
}

QTEST_MAIN(TestUpdateRun)
#include "tst_updaterun.moc"
