#include "e2eharness.h"
#include "fixtures.h"
#include "nginxserver.h"
#include "treesnapshot.h"
#include "windowpicture.h"
#include "xvfbdisplay.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

using namespace E2e;

// The real OrvalinkUpdater.exe, cross-built by scripts/build-windows.sh, run under Wine on a
// private Xvfb display in a fresh prefix without any powershell.exe: the message box, whole
// offline and online updates of an installation on C: (named by its 8.3 name), a failed one with
// the old client started again and the log file beside the installation, a protected folder named
// by its 8.3 name, the window's picture. The updater unpacks the package itself; Wine's own
// taskkill ends the client. Started by wine-tests.sh, which builds the programs and tells where
// they are.
class TestWineUpdate : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void cleanupTestCase();
    void importsSystemDllsOnly();
    void missingArgumentsShowMessageBox();
    void offlineUpdate();
    void onlineUpdate_data();
    void onlineUpdate();
    void failedUpdateKeepsWindowOpen();
    void protectedFolderByShortName();

private:
    QString cDrive(const QString &relative) const
    {
        return m_prefix + QStringLiteral("/drive_c/") + relative;
    }
    void startWine(QProcess *process, const QString &windowsProgram, const QStringList &arguments);
    void startUpdater(QProcess *process, const QStringList &arguments,
                      const QString &program = QStringLiteral("C:\\updater\\OrvalinkUpdater.exe"))
    {
        startWine(process, program, arguments);
    }
    bool runWine(const QStringList &arguments, QString *output);
    bool writeInstallationOnC(const QString &relative);
    bool writePayloadOnC(const QString &relative);
    bool publish(const QString &payloadRelative, const QString &hash,
                 const QString &previousRelative = QString());
    // The 8.3 name Wine gives an entry of C:\, as "dir /x" shows it; empty when there is none.
    QString shortNameOnC(const QString &name);

    QTemporaryDir m_temp;
    XvfbDisplay m_display;
    NginxServer *m_server = nullptr;
    QString m_windowsBin;
    QString m_wine;
    QString m_prefix;
    QByteArray m_client;
    QProcessEnvironment m_environment;
};

namespace {

constexpr int updateTimeoutMs = eventDeadlineMs;

QString windowsPath(const QString &relative)
{
    return QStringLiteral("C:\\") + QString(relative).replace(QLatin1Char('/'), QLatin1Char('\\'));
}

// "<image> <pid> started|exited" lines of the fake clients that ran from dir.
QStringList clientEvents(const QString &dir)
{
    return QString::fromUtf8(readFile(QDir(dir).filePath(QStringLiteral("starts.log"))))
        .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

bool waitForExit(QProcess *process, int timeoutMs)
{
    return waitUntil([process] { return process->state() == QProcess::NotRunning; }, timeoutMs);
}

// The X window of the updater (its window or its message box), or empty.
QString windowId()
{
    QString found;
    runCommand(
        QStringLiteral("xdotool"),
        {QStringLiteral("search"), QStringLiteral("--name"), QStringLiteral("^Orvalink Updater$")},
        &found);
    return found.section(QLatin1Char('\n'), 0, 0).trimmed();
}

void pressKeys(const QString &window, const QStringList &keys)
{
    runCommand(QStringLiteral("xdotool"),
               {QStringLiteral("windowfocus"), QStringLiteral("--sync"), window});
    runCommand(QStringLiteral("xdotool"), QStringList{QStringLiteral("key")} + keys);
}

// Presses Escape until the window has closed and the updater ended: under load Wine may drop a
// key that arrives while it is busy, and a second Escape to a closing window does no harm.
bool closeWithEscape(const QString &window, QProcess *updater)
{
    return waitUntil(
        [&] {
            pressKeys(window, {QStringLiteral("Escape")});
            return updater->waitForFinished(2000) || updater->state() == QProcess::NotRunning;
        },
        eventDeadlineMs);
}

// The log's text, as a person would copy it: the log has the focus, Ctrl+A Ctrl+C, and Wine
// hands the clipboard to X. Waits until it holds `expected`; the window in *window.
QString windowLog(const QString &expected, QString *window)
{
    QString log;
    waitUntil(
        [&] {
            if ((*window = windowId()).isEmpty())
                return false;
            pressKeys(*window, {QStringLiteral("ctrl+a"), QStringLiteral("ctrl+c")});
            runCommand(
                QStringLiteral("xclip"),
                {QStringLiteral("-o"), QStringLiteral("-selection"), QStringLiteral("clipboard")},
                &log);
            log.remove(QLatin1Char('\r'));
            return log.contains(expected);
        },
        eventDeadlineMs);
    return log;
}

} // namespace

void TestWineUpdate::initTestCase()
{
    m_windowsBin = qEnvironmentVariable("UPDATER_WINDOWS_BIN_DIR");
    m_wine = qEnvironmentVariable("UPDATER_WINE");
    for (const QString &program :
         {QStringLiteral("OrvalinkUpdater.exe"), QStringLiteral("fakeclient.exe")})
        QVERIFY2(QFileInfo::exists(QDir(m_windowsBin).filePath(program)),
                 qPrintable(m_windowsBin + QLatin1Char('/') + program));
    QVERIFY2(QFileInfo(m_wine).isExecutable(), "UPDATER_WINE names no Wine loader");
    m_client = readFile(QDir(m_windowsBin).filePath(QStringLiteral("fakeclient.exe")));
    QVERIFY(m_temp.isValid());
    QString error;
    QVERIFY2(m_display.start(m_temp.path(), &error), qPrintable(error));
    // For xdotool and xclip, run from here.
    qputenv("DISPLAY", m_display.display().toLocal8Bit());

    m_prefix = m_temp.filePath(QStringLiteral("prefix"));
    m_environment = QProcessEnvironment::systemEnvironment();
    // Wine hands the Unix environment on to Windows programs, and Qt there has no offscreen plugin.
    m_environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    m_environment.insert(QStringLiteral("WINEPREFIX"), m_prefix);
    m_environment.insert(QStringLiteral("WINEDEBUG"), QStringLiteral("-all"));
    // No offer to download Mono or Gecko, which would wait for a click.
    m_environment.insert(QStringLiteral("WINEDLLOVERRIDES"), QStringLiteral("mscoree,mshtml="));
    m_environment.insert(QStringLiteral("DISPLAY"), m_display.display());
    m_environment.insert(QStringLiteral("LANG"), QStringLiteral("C.UTF-8"));

    QElapsedTimer boot;
    boot.start();
    QString output;
    QVERIFY2(runWine({QStringLiteral("wineboot"), QStringLiteral("--init")}, &output),
             qPrintable(output));
    qInfo("prefix made in %lld ms", boot.elapsed());
    // Wine's stub of PowerShell goes too: nothing of an update may need one.
    QDirIterator stubs(cDrive(QStringLiteral("windows")), {QStringLiteral("powershell.exe")},
                       QDir::Files, QDirIterator::Subdirectories);
    while (stubs.hasNext())
        QVERIFY(QFile::remove(stubs.next()));
    // In a folder of its own, as the client keeps it.
    QVERIFY(
        writeFile(cDrive(QStringLiteral("updater/OrvalinkUpdater.exe")),
                  readFile(QDir(m_windowsBin).filePath(QStringLiteral("OrvalinkUpdater.exe")))));

    m_server = new NginxServer(m_temp.filePath(QStringLiteral("nginx")));
    QVERIFY2(m_server->start(&error), qPrintable(error));
}

void TestWineUpdate::cleanup()
{
    // The clients that the updater started again, and whatever a failed case left running.
    runWine({QStringLiteral("taskkill"), QStringLiteral("/F"), QStringLiteral("/IM"),
             QStringLiteral("Orvalink.exe"), QStringLiteral("/IM"), QStringLiteral("Core.exe"),
             QStringLiteral("/IM"), QStringLiteral("OrvalinkUpdater.exe")},
            nullptr);
}

void TestWineUpdate::cleanupTestCase()
{
    delete m_server;
    if (!m_prefix.isEmpty()) {
        QProcess server;
        server.setProcessEnvironment(m_environment);
        server.start(QFileInfo(m_wine).dir().filePath(QStringLiteral("wineserver")),
                     {QStringLiteral("--kill")});
        server.waitForFinished(30000);
    }
}

void TestWineUpdate::startWine(QProcess *process, const QString &windowsProgram,
                               const QStringList &arguments)
{
    process->setProcessEnvironment(m_environment);
    process->setProcessChannelMode(QProcess::MergedChannels);
    process->start(m_wine, QStringList{windowsProgram} + arguments);
    QVERIFY2(process->waitForStarted(10000), qPrintable(process->errorString()));
}

bool TestWineUpdate::runWine(const QStringList &arguments, QString *output)
{
    QProcess process;
    startWine(&process, arguments.first(), arguments.mid(1));
    const bool finished = waitForExit(&process, 120000);
    if (output)
        *output = QString::fromUtf8(process.readAll());
    return finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

// The installation of the e2e fixtures, with the fake client as Orvalink.exe and Core.exe and
// without its link out of the installation (a Windows installation has none).
bool TestWineUpdate::writeInstallationOnC(const QString &relative)
{
    const QDir dir(cDrive(relative));
    if (!writeInstallation(dir.path(), m_temp.filePath(QStringLiteral("unused.log")),
                           m_temp.filePath(QStringLiteral("outside"))))
        return false;
    return QFile::remove(dir.filePath(QStringLiteral("profiles/shared")))
           && QFile::remove(dir.filePath(QStringLiteral("Orvalink.exe")))
           && writeFile(dir.filePath(QStringLiteral("Orvalink.exe")), m_client)
           && writeFile(dir.filePath(QStringLiteral("Core.exe")), m_client);
}

// The payload of the fixtures with the fake client. Wine makes the .exe files it writes
// executable, the stand-in's too.
bool TestWineUpdate::writePayloadOnC(const QString &relative)
{
    const QDir dir(cDrive(relative));
    return writePayload(dir.path(), m_temp.filePath(QStringLiteral("unused.log")))
           && writeExecutable(dir.filePath(QStringLiteral("Orvalink.exe")), m_client)
           && writeExecutable(dir.filePath(QStringLiteral("Core.exe")), m_client);
}

// Zips the payload into the server's www/package.zip and writes www/manifest.json, which gives
// the hash (empty: the zip's own); with previousRelative, publishes it with the release tool
// against that earlier release instead, a differential update beside the package.
bool TestWineUpdate::publish(const QString &payloadRelative, const QString &hash,
                             const QString &previousRelative)
{
    QString output;
    if (!previousRelative.isEmpty()
        && !runCommand(QDir(binDir()).filePath(QStringLiteral("orvalink-release")),
                       {QStringLiteral("--payload"), cDrive(payloadRelative),
                        QStringLiteral("--version"), QStringLiteral("3.0.0"),
                        QStringLiteral("--package-url"),
                        m_server->httpUrl(QStringLiteral("/package.zip")), QStringLiteral("--out"),
                        m_server->wwwDir(), QStringLiteral("--previous"), cDrive(previousRelative),
                        QStringLiteral("--previous-version"), QStringLiteral("2.4.1")},
                       &output))
        qWarning("%s", qPrintable(output));
    if (!previousRelative.isEmpty())
        return output.contains(QLatin1String("package-from-2.4.1.zpatch"));

    const QString zip = QDir(m_server->wwwDir()).filePath(QStringLiteral("package.zip"));
    QString error;
    if (!zipTree(cDrive(payloadRelative), zip, &error)) {
        qWarning("%s", qPrintable(error));
        return false;
    }
    const QJsonObject manifest{
        {QStringLiteral("version"), QStringLiteral("3.0.0")},
        {QStringLiteral("package_url"), m_server->httpUrl(QStringLiteral("/package.zip"))},
        {QStringLiteral("package_hash"), hash.isEmpty() ? sha256OfFile(zip) : hash}};
    return writeFile(QDir(m_server->wwwDir()).filePath(QStringLiteral("manifest.json")),
                     QJsonDocument(manifest).toJson());
}

QString TestWineUpdate::shortNameOnC(const QString &name)
{
    QString listing;
    runWine({QStringLiteral("cmd"), QStringLiteral("/c"), QStringLiteral("dir /x C:\\")}, &listing);
    return QRegularExpression(QStringLiteral("(\\S+~\\S+)\\s+%1\\r?$").arg(name),
                              QRegularExpression::MultilineOption)
        .match(listing)
        .captured(1);
}

void TestWineUpdate::importsSystemDllsOnly()
{
    QString output;
    QVERIFY2(runCommand(QStringLiteral("x86_64-w64-mingw32-objdump"),
                        {QStringLiteral("-p"),
                         QDir(m_windowsBin).filePath(QStringLiteral("OrvalinkUpdater.exe"))},
                        &output),
             qPrintable(output));
    QStringList dlls;
    for (const QRegularExpressionMatch &match :
         QRegularExpression(QStringLiteral("DLL Name: (\\S+)")).globalMatch(output))
        dlls << match.captured(1);
    QVERIFY2(dlls.contains(QStringLiteral("KERNEL32.dll"), Qt::CaseInsensitive),
             qPrintable(dlls.join(QLatin1Char(' '))));
    // A system DLL is one that a bare Windows (here: a fresh prefix) has, or an API set.
    const QStringList system =
        QDir(cDrive(QStringLiteral("windows/system32"))).entryList(QDir::Files);
    for (const QString &dll : std::as_const(dlls)) {
        QVERIFY2(dll.startsWith(QLatin1String("api-ms-win-"), Qt::CaseInsensitive)
                     || system.contains(dll, Qt::CaseInsensitive),
                 qPrintable(QStringLiteral("imports %1, which Windows does not have").arg(dll)));
    }
}

void TestWineUpdate::missingArgumentsShowMessageBox()
{
    QProcess updater;
    startUpdater(&updater, {});
    QString window;
    QVERIFY2(waitUntil(
                 [&] {
                     return !(window = windowId()).isEmpty()
                            || updater.state() == QProcess::NotRunning;
                 },
                 eventDeadlineMs),
             "no window titled \"Orvalink Updater\"");
    QVERIFY2(!window.isEmpty(), qPrintable(QString::fromUtf8(updater.readAll())));
    // Return presses the default button; pressed again until the box has it.
    QVERIFY(waitUntil(
        [&] {
            pressKeys(window, {QStringLiteral("Return")});
            return waitForExit(&updater, 1000);
        },
        eventDeadlineMs));
    QCOMPARE(updater.exitCode(), 1);
}

void TestWineUpdate::offlineUpdate()
{
    QVERIFY(writeInstallationOnC(QStringLiteral("Orvalink")));
    QVERIFY(writePayloadOnC(QStringLiteral("drop/payload")));
    const TreeSnapshot before = TreeSnapshot::take(cDrive(QStringLiteral("Orvalink")));
    const TreeSnapshot payload = TreeSnapshot::take(cDrive(QStringLiteral("drop/payload")));
    // Where the client keeps it: inside the installation it updates.
    QVERIFY(QFile::copy(cDrive(QStringLiteral("updater/OrvalinkUpdater.exe")),
                        cDrive(QStringLiteral("Orvalink/OrvalinkUpdater.exe"))));

    QProcess updater;
    startUpdater(&updater,
                 {QStringLiteral("--install-dir"), windowsPath(QStringLiteral("Orvalink")),
                  QStringLiteral("--current-version"), QStringLiteral("2.4.1"),
                  QStringLiteral("--offline-payload-root"),
                  windowsPath(QStringLiteral("drop/payload"))},
                 QStringLiteral("C:\\Orvalink\\OrvalinkUpdater.exe"));
    // It hands over to its copy beside the installation and ends before the update has begun;
    // the copy's window closes by itself once the new client runs.
    QVERIFY2(waitForExit(&updater, eventDeadlineMs),
             "the updater inside the installation did not end");
    QCOMPARE(updater.exitCode(), 0);
    QVERIFY(clientEvents(cDrive(QStringLiteral("Orvalink"))).isEmpty());
    QVERIFY2(waitUntil([&] { return clientEvents(cDrive(QStringLiteral("Orvalink"))).size() == 1; },
                       updateTimeoutMs),
             "the new client was not started");
    QVERIFY2(waitUntil([] { return windowId().isEmpty(); }), "the window did not close by itself");

    const QStringList problems =
        problemsAfterUpdate(cDrive(QStringLiteral("Orvalink")), payload, before);
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join(QLatin1Char('\n'))));
    QVERIFY2(!QFileInfo::exists(cDrive(QStringLiteral("drop"))),
             "the payload's folder is left over");
    QVERIFY(clientEvents(cDrive(QStringLiteral("Orvalink")))
                .first()
                .startsWith(QLatin1String("Orvalink.exe ")));
}

void TestWineUpdate::onlineUpdate_data()
{
    QTest::addColumn<bool>("differential");
    // Core.exe patched while it runs, the other files copied or fetched.
    QTest::newRow("differential update") << true;
    // The package unpacked by the updater, as every release without a delta.
    QTest::newRow("package") << false;
}

void TestWineUpdate::onlineUpdate()
{
    QFETCH(bool, differential);
    // Brackets, which PowerShell's Expand-Archive took for wildcards, and a payload file whose
    // path is beyond MAX_PATH once unpacked.
    const QString install = QStringLiteral("Program Files/Apps [x64]/Orvalink");
    for (const QString &left : {install, QStringLiteral("online"), QStringLiteral("running")})
        QVERIFY(QDir(cDrive(left)).removeRecursively());
    const qsizetype requestsBefore = m_server->accessLog().size();
    QVERIFY(writeInstallationOnC(install));
    QVERIFY(writePayloadOnC(QStringLiteral("online/payload")));
    QVERIFY(writeExecutable(cDrive(QStringLiteral("online/payload/Core.exe")), m_client + "3.0.0"));
    QVERIFY(writeFile(
        cDrive(QStringLiteral("online/payload/data/") + QString(5, QLatin1Char('d'))
               + QStringLiteral("/%1/%1/%1/%1/deep.txt").arg(QString(60, QLatin1Char('n')))),
        "deep\n"));
    QVERIFY(
        publish(QStringLiteral("online/payload"), QString(), differential ? install : QString()));
    const TreeSnapshot before = TreeSnapshot::take(cDrive(install));
    const TreeSnapshot payload = TreeSnapshot::take(cDrive(QStringLiteral("online/payload")));

    // A part of the client that stays until taskkill ends it, and a client elsewhere that the
    // updater waits for: it ends by itself once the picture is taken, unless something ends it
    // before.
    QVERIFY(writeFile(cDrive(QStringLiteral("running/Orvalink.exe")), m_client));
    QProcess core;
    QProcess client;
    startWine(&core, windowsPath(install + QStringLiteral("/Core.exe")), {});
    startWine(&client, windowsPath(QStringLiteral("running/Orvalink.exe")),
              {windowsPath(QStringLiteral("running/may-exit"))});
    QVERIFY2(waitUntil([&] {
                 return clientEvents(cDrive(QStringLiteral("running"))).size() == 1
                        && clientEvents(cDrive(install)).size() == 1;
             }),
             "the client and Core.exe did not both start");
    const QString clientPid =
        clientEvents(cDrive(QStringLiteral("running"))).first().section(QLatin1Char(' '), 1, 1);

    // Named by its 8.3 name: inside Program Files, which is no reason to refuse it, and the
    // running Core.exe is found there all the same.
    const QString shortName = shortNameOnC(QStringLiteral("Program Files"));
    QVERIFY(!shortName.isEmpty());
    QProcess updater;
    startUpdater(&updater, {QStringLiteral("--install-dir"),
                            QStringLiteral("C:\\%1\\Apps [x64]\\Orvalink").arg(shortName),
                            QStringLiteral("--current-version"), QStringLiteral("2.4.1"),
                            QStringLiteral("--manifest-url"),
                            m_server->httpUrl(QStringLiteral("/manifest.json")),
                            QStringLiteral("--wait-pid"), clientPid});

    // Taken while the update waits for the client.
    QString error;
    const QImage picture = captureUpdaterWindow(m_display.display(), 4, eventDeadlineMs, &error);
    QVERIFY2(!picture.isNull(), qPrintable(QStringLiteral("no picture: ") + error));
    QVERIFY(writeFile(cDrive(QStringLiteral("running/may-exit")), QByteArray()));
    const QString png = QDir(artifactDir()).filePath(QStringLiteral("wine-updater-window.png"));
    QVERIFY(picture.save(png));
    qInfo("window picture: %s", qPrintable(png));

    QVERIFY2(waitForExit(&updater, updateTimeoutMs), "the window did not close by itself");
    QCOMPARE(updater.exitCode(), 0);
    QVERIFY2(waitForExit(&core, eventDeadlineMs), "Core.exe is still running");
    // Ended by taskkill, the client would not have written this line.
    QVERIFY2(
        clientEvents(cDrive(QStringLiteral("running"))).last().endsWith(QLatin1String(" exited")),
        "the client that the updater was to wait for was ended instead");

    const QStringList problems = problemsAfterUpdate(cDrive(install), payload, before);
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join(QLatin1Char('\n'))));
    QVERIFY2(waitUntil([&] { return clientEvents(cDrive(install)).size() == 1; }, eventDeadlineMs),
             "the new client was not started");
    QVERIFY(clientEvents(cDrive(install)).first().startsWith(QLatin1String("Orvalink.exe ")));
    const QString requests = m_server->accessLog().mid(requestsBefore).join(QLatin1Char('\n'));
    QVERIFY2(requests.contains(QLatin1String("/package-from-2.4.1.zpatch ")) == differential
                 && requests.contains(QLatin1String("/package.zip ")) != differential,
             qPrintable(requests));

    const QStringList problemsInPicture = russianTextProblems(picture, 4);
    QVERIFY2(problemsInPicture.isEmpty(), qPrintable(problemsInPicture.join(QStringLiteral("; "))));
}

void TestWineUpdate::failedUpdateKeepsWindowOpen()
{
    const QString install = QStringLiteral("failing/Orvalink");
    QVERIFY(writeInstallationOnC(install));
    QVERIFY(writePayloadOnC(QStringLiteral("failing-payload")));
    QVERIFY(publish(QStringLiteral("failing-payload"), QString(64, QLatin1Char('0'))));
    // The client exits as it starts the updater; it is started again after the failure.
    QProcess client;
    startWine(&client, windowsPath(install + QStringLiteral("/Orvalink.exe")),
              {QStringLiteral("1")});
    QVERIFY(waitUntil([&] { return clientEvents(cDrive(install)).size() == 2; }, eventDeadlineMs));
    const QString clientPid = clientEvents(cDrive(install)).first().section(QLatin1Char(' '), 1, 1);
    const TreeSnapshot before = TreeSnapshot::take(cDrive(install));

    QProcess updater;
    startUpdater(&updater, {QStringLiteral("--install-dir"), windowsPath(install),
                            QStringLiteral("--current-version"), QStringLiteral("2.4.1"),
                            QStringLiteral("--manifest-url"),
                            m_server->httpUrl(QStringLiteral("/manifest.json")),
                            QStringLiteral("--wait-pid"), clientPid});

    // The log file beside the installation tells first that the update failed, then the window.
    const QString savedLog = cDrive(QStringLiteral("failing/.orvalink-update.log"));
    QVERIFY2(waitUntil([&] { return readFile(savedLog).contains(" SHA-256 mismatch for "); },
                       eventDeadlineMs),
             qPrintable("the log file reads: " + QString::fromUtf8(readFile(savedLog))));
    QString window;
    const QString failure = QStringLiteral("Ошибка обновления\nSHA-256 mismatch for ");
    const QString log = windowLog(failure, &window);
    QVERIFY2(log.contains(failure), qPrintable(QStringLiteral("the log reads: ") + log));
    QVERIFY2(updater.state() == QProcess::Running,
             "the window of a failed update closed by itself");
    QVERIFY2(waitUntil([&] { return clientEvents(cDrive(install)).size() == 3; }, eventDeadlineMs),
             "the old client was not started again");
    QStringList changes = before.differences(TreeSnapshot::take(cDrive(install)));
    changes.removeIf(
        [](const QString &change) { return change.contains(QLatin1String("starts.log")); });
    QVERIFY2(changes.isEmpty(), qPrintable(changes.join(QLatin1Char('\n'))));
    // The log file says the same, with the times.
    const QString saved = QString::fromUtf8(readFile(savedLog));
    for (const QString &line : {QStringLiteral(" SHA-256 mismatch for "),
                                QStringLiteral(" Запуск C:\\failing\\Orvalink\\Orvalink.exe\r\n")})
        QVERIFY2(saved.contains(line), qPrintable(saved));

    QVERIFY2(closeWithEscape(window, &updater), "Escape did not close the window");
    QCOMPARE(updater.exitCode(), 0);
}

void TestWineUpdate::protectedFolderByShortName()
{
    // Program Files by its 8.3 name, which Wine makes up as Windows does.
    const QString shortName = shortNameOnC(QStringLiteral("Program Files"));
    QVERIFY(!shortName.isEmpty());
    QVERIFY(writePayloadOnC(QStringLiteral("short/payload")));
    const QStringList rootBefore =
        QDir(cDrive(QString())).entryList(QDir::AllEntries | QDir::Hidden);

    QProcess updater;
    startUpdater(&updater, {QStringLiteral("--install-dir"), QStringLiteral("C:\\") + shortName,
                            QStringLiteral("--current-version"), QStringLiteral("2.4.1"),
                            QStringLiteral("--offline-payload-root"),
                            windowsPath(QStringLiteral("short/payload"))});
    QString window;
    const QString refusal =
        QStringLiteral("The installation directory C:\\%1 cannot be updated.").arg(shortName);
    const QString log = windowLog(refusal, &window);
    QVERIFY2(log.contains(refusal), qPrintable(QStringLiteral("the log reads: ") + log));
    QCOMPARE(QDir(cDrive(QString())).entryList(QDir::AllEntries | QDir::Hidden), rootBefore);
    QVERIFY(QFileInfo::exists(cDrive(QStringLiteral("Program Files/Common Files"))));
    QVERIFY2(closeWithEscape(window, &updater), "Escape did not close the window");
}

QTEST_GUILESS_MAIN(TestWineUpdate)
#include "tst_wineupdate.moc"
