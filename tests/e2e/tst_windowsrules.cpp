#include "e2eharness.h"
#include "fixtures.h"
#include "treesnapshot.h"
#include "updaterprocess.h"

#include <QDir>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>

#include <sys/stat.h>

using namespace E2e;

// Whole offline updates of the built program under Windows' rules (lib/libwindowsrules.so): a
// directory with a handle open in it cannot be renamed, a running image cannot be deleted or
// overwritten but can be renamed, a scanner holds a file for a few attempts, a read-only folder
// cannot be removed. The installation must end wholly new, or, when a step fails
// (lib/libfaultinjection.so), wholly old.
class TestWindowsRules : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void installation_data();
    void installation();
    void inPlaceEqualsStaged();
    void startedFromInsideTheInstallation_data();
    void startedFromInsideTheInstallation();

private:
    QString path(const QString &relative) const { return m_temp->filePath(relative); }
    // An installation and a payload below root; m_install and m_payload name them.
    bool layOut(const QString &root);
    // Runs the update with the rules; true when it finished and closed its window.
    bool runUpdate(const QStringList &environment);

    std::unique_ptr<QTemporaryDir> m_temp;
    // The trace of an update counted under the same rules, its installation named INSTALL.
    QHash<QString, QString> m_traces;
    QString m_rules;
    QString m_faults;
    QString m_install;
    QString m_payload;
};

namespace {

QStringList offlineArguments(const QString &payloadRoot, const QString &installDir)
{
    return {QStringLiteral("--offline-payload-root"), payloadRoot,
            QStringLiteral("--install-dir"),          installDir,
            QStringLiteral("--current-version"),      QStringLiteral("2.4.1")};
}

} // namespace

void TestWindowsRules::initTestCase()
{
    m_rules = QDir(binDir()).filePath(QStringLiteral("../lib/libwindowsrules.so"));
    m_faults = QDir(binDir()).filePath(QStringLiteral("../lib/libfaultinjection.so"));
    QVERIFY2(QFileInfo::exists(m_rules) && QFileInfo::exists(m_faults), qPrintable(m_rules));
}

void TestWindowsRules::init()
{
    m_temp = std::make_unique<QTemporaryDir>();
    QVERIFY(layOut(path(QStringLiteral("update"))));
}

bool TestWindowsRules::layOut(const QString &root)
{
    m_install = root + QStringLiteral("/Programs/Orvalink");
    m_payload = root + QStringLiteral("/drop/payload");
    const QString clientLog = root + QStringLiteral("/client.log");
    // Hidden entries and a nested profiles folder are the payload's like any other.
    return writeInstallation(m_install, clientLog, path(QStringLiteral("outside-data")))
           && writePayload(m_payload, clientLog)
           && writeFile(m_install + QStringLiteral("/lib/Qt6Core.dll"), "Qt 6.2\n")
           && writeFile(m_payload + QStringLiteral("/lib/Qt6Core.dll"), "Qt 6.4\n")
           && writeFile(m_payload + QStringLiteral("/.version"), "3.0.0\n")
           && writeFile(m_payload + QStringLiteral("/resources/profiles/.default"), "shipped\n")
           && writeFile(m_payload + QStringLiteral("/profiles/shipped.json"), "shipped\n");
}

bool TestWindowsRules::runUpdate(const QStringList &environment)
{
    UpdaterProcess updater;
    updater.setWorkingDirectory(m_temp->path());
    updater.setEnvironmentValue(QStringLiteral("LD_PRELOAD"), m_rules);
    for (const QString &setting : environment)
        updater.setEnvironmentValue(setting.section(QLatin1Char('='), 0, 0),
                                    setting.section(QLatin1Char('='), 1));
    QString error;
    if (!updater.start(offlineArguments(m_payload, m_install), &error))
        return false;
    // A failed update keeps its window open; the installation moves aside for up to 10 s first.
    if (!updater.waitForExit(40000)) {
        updater.kill();
        return false;
    }
    return updater.exitCode() == 0;
}

void TestWindowsRules::installation_data()
{
    // INSTALL and PAYLOAD stand for the installation and the payload directory.
    QTest::addColumn<QStringList>("rules");
    // The change that fails, as a pattern of the update's trace (empty: none), and how.
    QTest::addColumn<QString>("failingChange");
    QTest::addColumn<QString>("faultMode");
    // What an earlier update left: "backup" (an earlier build's, with a read-only folder in
    // it) or "config changed" (it had set config aside, and the client changed it meanwhile).
    QTest::addColumn<QString>("leftover");
    // 0: succeeds; 1: fails; 2: fails, and then a clean run succeeds.
    QTest::addColumn<int>("outcome");

    // A scanner holds app.dll for a moment, and Core.exe past its deletion; the files the
    // updater holds open there (its journal) cannot be deleted or renamed.
    const QStringList running{
        QStringLiteral("WINDOWS_RULES_RUNNING_IMAGES=INSTALL/lib/Qt6Core.dll:INSTALL/Orvalink.exe"),
        QStringLiteral("WINDOWS_RULES_HELD=INSTALL/app.dll=3"),
        QStringLiteral("WINDOWS_RULES_DELETE_PENDING=INSTALL/Core.exe=3000"),
        QStringLiteral(
            "WINDOWS_RULES_OPEN_FILES_UNDER=INSTALL:INSTALL/../.orvalink-backup-Orvalink")};
    const QStringList locked{QStringLiteral("WINDOWS_RULES_LOCKED_DIRS=INSTALL")};
    QTest::newRow("locked directory, read-only folder in a leftover backup")
        << locked << QString() << QString() << "backup" << 0;
    QTest::newRow("running images, held and pending files")
        << running << QString() << QString() << "" << 0;
    // A refusal that may pass is tried again; an I/O error is not.
    const QString firstAside =
        QStringLiteral(" rename INSTALL/\\S+ -> \\S+/\\.orvalink-backup-Orvalink/entries/");
    QTest::newRow("setting the first entry aside is refused once")
        << running << firstAside << "eacces"
        << "" << 0;
    QTest::newRow("setting the first entry aside fails") << running << firstAside << "eio"
                                                         << "" << 1;
    QTest::newRow("creating the new lib folder fails")
        << running << QStringLiteral(" mkdir INSTALL/lib$") << "eio"
        << "" << 1;
    QTest::newRow("writing the new Qt6Core.dll fails")
        << running << QStringLiteral(" open INSTALL/lib/Qt6Core\\.dll$") << "eio"
        << "" << 1;
    QTest::newRow("writing the new Orvalink.exe fails, then a clean second run")
        << running << QStringLiteral(" -> INSTALL/Orvalink\\.exe$") << "eio"
        << "" << 2;
    QTest::newRow("the payload's own profile held while the user's go back")
        << QStringList{QStringLiteral("WINDOWS_RULES_HELD=PAYLOAD/profiles/shipped.json=20")}
        << QString() << QString() << "" << 0;
    QTest::newRow("settings changed after an interrupted update held while kept")
        << QStringList{QStringLiteral("WINDOWS_RULES_HELD=INSTALL/config/configs.json=4")}
        << QString() << QString() << "config changed" << 0;
}

void TestWindowsRules::installation()
{
    QFETCH(QStringList, rules);
    QFETCH(QString, failingChange);
    QFETCH(QString, faultMode);
    QFETCH(QString, leftover);
    QFETCH(int, outcome);
    const QString parent = QFileInfo(m_install).path();
    if (leftover == QLatin1String("backup")) {
        QVERIFY(writeFile(parent + QStringLiteral("/.orvalink-backup/old/lib/a.dll"), "old"));
        QVERIFY(
            chmod(
                QFile::encodeName(parent + QStringLiteral("/.orvalink-backup/old/lib")).constData(),
                0555)
            == 0);
    }
    const TreeSnapshot payload = TreeSnapshot::take(m_payload);
    const TreeSnapshot before = TreeSnapshot::take(m_install);
    const TreeSnapshot outsideBefore = TreeSnapshot::take(path(QStringLiteral("outside-data")));
    if (leftover == QLatin1String("config changed")) {
        QVERIFY(QDir().mkpath(parent + QStringLiteral("/.orvalink-preserve")));
        QVERIFY(QDir().rename(m_install + QStringLiteral("/config"),
                              parent + QStringLiteral("/.orvalink-preserve/config")));
        QVERIFY(writeFile(m_install + QStringLiteral("/config/configs.json"), "{\"changed\": 1}"));
    }
    rules.replaceInStrings(QStringLiteral("PAYLOAD"), m_payload);
    const QStringList windowsRules = rules;

    if (!failingChange.isEmpty()) {
        // The same update in a twin tree, only counting its changes, finds the number of the
        // change to fail: both make the same changes in the same order.
        // Rows with the same rules share it.
        const QString updateInstall = m_install;
        const QString updatePayload = m_payload;
        const QString key = rules.join(QLatin1Char(' '));
        if (!m_traces.contains(key)) {
            QVERIFY(layOut(path(QStringLiteral("count"))));
            const QString trace = path(QStringLiteral("trace"));
            QVERIFY(
                runUpdate(QStringList(rules).replaceInStrings(QStringLiteral("INSTALL"), m_install)
                          << QStringLiteral("LD_PRELOAD=%1:%2").arg(m_rules, m_faults)
                          << QStringLiteral("FAULT_PROCESS=OrvalinkUpdater")
                          << QStringLiteral("FAULT_TRACE=") + trace));
            m_traces.insert(
                key,
                QString::fromUtf8(readFile(trace)).replace(m_install, QStringLiteral("INSTALL")));
        }
        const QRegularExpression change(failingChange);
        int number = 0;
        const QStringList lines = m_traces.value(key).split(QLatin1Char('\n'));
        for (const QString &line : lines) {
            if (number == 0 && change.match(line).hasMatch())
                number = line.section(QLatin1Char(' '), 0, 0).toInt();
        }
        QVERIFY2(number > 0, qPrintable(change.pattern()));
        m_install = updateInstall;
        m_payload = updatePayload;
        rules << QStringLiteral("LD_PRELOAD=%1:%2").arg(m_rules, m_faults)
              << QStringLiteral("FAULT_PROCESS=OrvalinkUpdater")
              << QStringLiteral("FAULT_AT=%1").arg(number)
              << QStringLiteral("FAULT_MODE=") + faultMode;
    }

    rules.replaceInStrings(QStringLiteral("INSTALL"), m_install);
    if (outcome > 0) {
        QVERIFY(!runUpdate(rules));
        // Wholly old: every entry the failed update set aside is back, whatever it wrote is gone.
        const QStringList changed = before.differences(TreeSnapshot::take(m_install));
        QVERIFY2(changed.isEmpty(), qPrintable(changed.join(QLatin1Char('\n'))));
    }
    if (outcome != 1) {
        QVERIFY(runUpdate(outcome == 0
                              ? rules
                              : QStringList(windowsRules)
                                    .replaceInStrings(QStringLiteral("INSTALL"), m_install)));
        const QStringList problems = problemsAfterUpdate(m_install, payload, before);
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(QLatin1Char('\n'))));
        // The working directories are gone; a running image set aside waits in .orvalink-stale
        // for the next update, never in the installation. The log stays for support.
        QStringList left =
            QDir(parent).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
        left.removeAll(QStringLiteral("Orvalink"));
        left.removeAll(QStringLiteral(".orvalink-legacy-config-backup"));
        left.removeAll(QStringLiteral(".orvalink-stale-Orvalink"));
        left.removeAll(QStringLiteral(".orvalink-update.log"));
        QCOMPARE(left, QStringList());
    }
    if (leftover == QLatin1String("config changed"))
        QCOMPARE(
            readFile(m_install + QStringLiteral("/config.after-interrupted-update/configs.json")),
            QByteArray("{\"changed\": 1}"));
    QCOMPARE(TreeSnapshot::take(path(QStringLiteral("outside-data"))), outsideBefore);
}

void TestWindowsRules::inPlaceEqualsStaged()
{
    // The same update of the same installation, once moved into place and once written in
    // place because a handle is open in the installation, leaves the same tree.
    const QString staged = m_install;
    const QByteArray client = readFile(m_payload + QStringLiteral("/Orvalink.exe"));
    QVERIFY(runUpdate({}));
    QVERIFY(layOut(path(QStringLiteral("in-place"))));
    QVERIFY(writeExecutable(m_payload + QStringLiteral("/Orvalink.exe"), client));
    QVERIFY(runUpdate({QStringLiteral("WINDOWS_RULES_LOCKED_DIRS=") + m_install}));
    const QStringList differences =
        TreeSnapshot::take(staged).differences(TreeSnapshot::take(m_install));
    QVERIFY2(differences.isEmpty(), qPrintable(differences.join(QLatin1Char('\n'))));
}

void TestWindowsRules::startedFromInsideTheInstallation_data()
{
    QTest::addColumn<bool>("programInside"); // the updater's own program lies inside too
    QTest::newRow("working directory inside the installation") << false;
    QTest::newRow("the updater inside the installation") << true;
}

void TestWindowsRules::startedFromInsideTheInstallation()
{
    // Windows holds a handle on a process's working directory and its image: an updater that
    // stayed there would make every update take the in-place path. The new tree is renamed into
    // place, so the installation directory is another one afterwards.
    QFETCH(bool, programInside);
    const QString program = m_install + QStringLiteral("/OrvalinkUpdater");
    if (programInside)
        QVERIFY(QFile::copy(updaterPath(), program));
    struct stat before = {};
    QVERIFY(stat(QFile::encodeName(m_install).constData(), &before) == 0);
    const TreeSnapshot payload = TreeSnapshot::take(m_payload);
    const TreeSnapshot installation = TreeSnapshot::take(m_install);

    UpdaterProcess updater;
    updater.setWorkingDirectory(m_install + QStringLiteral("/lib"));
    updater.setEnvironmentValue(QStringLiteral("LD_PRELOAD"), m_rules);
    if (programInside)
        updater.setProgram(program);
    QString error;
    QVERIFY2(updater.start(offlineArguments(m_payload, m_install), &error), qPrintable(error));
    QVERIFY2(updater.waitForExit(), "the updater did not finish the update and close its window");
    QCOMPARE(updater.exitCode(), 0);
    // The program inside has handed over to its copy beside the installation and ended at once.
    // The clean-up moves the running copy on into the stale directory.
    const QString working = QFileInfo(m_install).path() + QStringLiteral("/.orvalink-");
    const auto copyRuns = [&working] {
        const QStringList processes = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
        return std::any_of(processes.begin(), processes.end(), [&working](const QString &pid) {
            return QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid))
                .symLinkTarget()
                .startsWith(working);
        });
    };
    QVERIFY(waitUntil([&] { return !copyRuns(); }));

    const QStringList problems = problemsAfterUpdate(m_install, payload, installation);
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join(QLatin1Char('\n'))));
    struct stat after = {};
    QVERIFY(stat(QFile::encodeName(m_install).constData(), &after) == 0);
    QVERIFY(after.st_ino != before.st_ino);
    if (!programInside)
        return;
    // Its own image, which Windows does not let it delete, waits for the next update.
    const QString stale = QFileInfo(m_install).path() + QStringLiteral("/.orvalink-stale-Orvalink");
    QCOMPARE(QDir(stale).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).size(), 1);
    QVERIFY(writePayload(m_payload, path(QStringLiteral("update/client.log"))));
    QVERIFY(runUpdate({}));
    QVERIFY(!QFileInfo::exists(stale));
}

QTEST_GUILESS_MAIN(TestWindowsRules)
#include "tst_windowsrules.moc"
