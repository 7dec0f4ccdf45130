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
    void startedFromInsideTheInstallation_data();
    void startedFromInsideTheInstallation();

private:
    QString path(const QString &relative) const { return m_temp->filePath(relative); }
    // An installation and a payload below root; m_install and m_payload name them.
    bool layOut(const QString &root);
    // Runs the update with the rules; true when it finished and closed its window.
    bool runUpdate(const QStringList &environment);

    std::unique_ptr<QTemporaryDir> m_temp;
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
    return writeInstallation(m_install, clientLog, path(QStringLiteral("outside-data")))
           && writePayload(m_payload, clientLog)
           // In place, an entry that the payload lacks stays, as it does on the in-place path.
           && QFile::remove(m_install + QStringLiteral("/old-only.txt"))
           && writeFile(m_install + QStringLiteral("/lib/Qt6Core.dll"), "Qt 6.2\n")
           && writeFile(m_payload + QStringLiteral("/lib/Qt6Core.dll"), "Qt 6.4\n");
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
    QTest::addColumn<QStringList>("rules"); // INSTALL stands for the installation directory
    // The change that fails, as a pattern of the update's trace; empty: none.
    QTest::addColumn<QString>("failingChange");
    QTest::addColumn<bool>("leftoverBackup"); // with a read-only folder in it
    QTest::addColumn<bool>("succeeds");

    const QStringList running{
        QStringLiteral("WINDOWS_RULES_RUNNING_IMAGES=INSTALL/lib/Qt6Core.dll:INSTALL/Orvalink.exe"),
        QStringLiteral("WINDOWS_RULES_HELD=INSTALL/app.dll=3")};
    const QStringList locked{QStringLiteral("WINDOWS_RULES_LOCKED_DIRS=INSTALL")};
    QTest::newRow("locked directory, read-only folder in a leftover backup")
        << locked << QString() << true << true;
    QTest::newRow("running images, a held file") << running << QString() << false << true;
    // A move aside that fails once is tried again.
    QTest::newRow("setting the first entry aside fails once")
        << running << QStringLiteral(" rename INSTALL/\\S+ -> \\S+/\\.orvalink-backup/") << false
        << true;
    QTest::newRow("creating the new lib folder fails")
        << running << QStringLiteral(" mkdir INSTALL/lib$") << false << false;
    QTest::newRow("writing the new Qt6Core.dll fails")
        << running << QStringLiteral(" -> INSTALL/lib/Qt6Core\\.dll$") << false << false;
    QTest::newRow("writing the new Orvalink.exe fails")
        << running << QStringLiteral(" -> INSTALL/Orvalink\\.exe$") << false << false;
}

void TestWindowsRules::installation()
{
    QFETCH(QStringList, rules);
    QFETCH(QString, failingChange);
    QFETCH(bool, leftoverBackup);
    QFETCH(bool, succeeds);
    const QString parent = QFileInfo(m_install).path();
    if (leftoverBackup) {
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

    if (!failingChange.isEmpty()) {
        // The same update in a twin tree, only counting its changes, finds the number of the
        // change to fail: both make the same changes in the same order.
        const QString updateInstall = m_install;
        const QString updatePayload = m_payload;
        QVERIFY(layOut(path(QStringLiteral("count"))));
        const QString trace = path(QStringLiteral("trace"));
        QVERIFY(runUpdate(QStringList(rules).replaceInStrings(QStringLiteral("INSTALL"), m_install)
                          << QStringLiteral("LD_PRELOAD=%1:%2").arg(m_rules, m_faults)
                          << QStringLiteral("FAULT_PROCESS=OrvalinkUpdater")
                          << QStringLiteral("FAULT_TRACE=") + trace));
        const QRegularExpression change(failingChange.replace(
            QStringLiteral("INSTALL"), QRegularExpression::escape(m_install)));
        int number = 0;
        const QStringList lines = QString::fromUtf8(readFile(trace)).split(QLatin1Char('\n'));
        for (const QString &line : lines) {
            if (number == 0 && change.match(line).hasMatch())
                number = line.section(QLatin1Char(' '), 0, 0).toInt();
        }
        QVERIFY2(number > 0, qPrintable(change.pattern()));
        m_install = updateInstall;
        m_payload = updatePayload;
        rules << QStringLiteral("LD_PRELOAD=%1:%2").arg(m_rules, m_faults)
              << QStringLiteral("FAULT_PROCESS=OrvalinkUpdater")
              << QStringLiteral("FAULT_AT=%1").arg(number) << QStringLiteral("FAULT_MODE=eio");
    }

    QCOMPARE(runUpdate(rules.replaceInStrings(QStringLiteral("INSTALL"), m_install)), succeeds);
    if (succeeds) {
        const QStringList problems = problemsAfterUpdate(m_install, payload, before);
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(QLatin1Char('\n'))));
        // The working directories are gone; a running image set aside waits in .orvalink-stale
        // for the next update, never in the installation. The log stays for support.
        QStringList left =
            QDir(parent).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
        left.removeAll(QStringLiteral("Orvalink"));
        left.removeAll(QStringLiteral(".orvalink-legacy-config-backup"));
        left.removeAll(QStringLiteral(".orvalink-stale"));
        left.removeAll(QStringLiteral(".orvalink-update.log"));
        QCOMPARE(left, QStringList());
    } else {
        // Wholly old: every entry the failed update set aside is back, whatever it wrote is gone.
        const QStringList changed = before.differences(TreeSnapshot::take(m_install));
        QVERIFY2(changed.isEmpty(), qPrintable(changed.join(QLatin1Char('\n'))));
    }
    QCOMPARE(TreeSnapshot::take(path(QStringLiteral("outside-data"))), outsideBefore);
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
    const QString copy =
        QFileInfo(m_install).path() + QStringLiteral("/.orvalink-update/updater/OrvalinkUpdater");
    const auto copyRuns = [&copy] {
        const QStringList processes = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
        return std::any_of(processes.begin(), processes.end(), [&copy](const QString &pid) {
            return QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget() == copy;
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
    const QString stale = QFileInfo(m_install).path() + QStringLiteral("/.orvalink-stale");
    QCOMPARE(QDir(stale).entryList(QDir::Files).size(), 1);
    QVERIFY(writePayload(m_payload, path(QStringLiteral("update/client.log"))));
    QVERIFY(runUpdate({}));
    QVERIFY(!QFileInfo::exists(stale));
}

QTEST_GUILESS_MAIN(TestWindowsRules)
#include "tst_windowsrules.moc"
