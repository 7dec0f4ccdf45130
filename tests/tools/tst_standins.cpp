#include "testfiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

#include <csignal>

// The Linux stand-in for taskkill, run as the built program.
class TestStandIns : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void taskkill_data();
    void taskkill();

private:
    QTemporaryDir tmp;
};

namespace {

struct Outcome
{
    int exitCode = -1;
    QString out;
    QString err;
};

Outcome runTool(const QString &name, const QStringList &arguments)
{
    QProcess process;
    process.start(QCoreApplication::applicationDirPath() + "/" + name, arguments);
    process.closeWriteChannel();
    Outcome outcome;
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit)
        return outcome;
    outcome.exitCode = process.exitCode();
    outcome.out = QString::fromUtf8(process.readAllStandardOutput());
    outcome.err = QString::fromUtf8(process.readAllStandardError());
    return outcome;
}

QString uniqueImageName(int length)
{
    QString name = QStringLiteral("tk") + QUuid::createUuid().toString(QUuid::Id128);
    name.truncate(length - 4);
    return name + QStringLiteral(".exe");
}

} // namespace

void TestStandIns::initTestCase()
{
    QVERIFY(tmp.isValid());
}

void TestStandIns::taskkill_data()
{
    // A table reads best one row to a line, which the formatter would not keep.
    // clang-format off
    // {target} is a running copy of the helper; {other} a second one whose name shares the
    // first 15 characters with it (when the target's name is longer than that).
    QTest::addColumn<int>("nameLength");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<bool>("targetEnded");
    QTest::addColumn<QString>("expectedOut");
    QTest::addColumn<QString>("expectedErr");

    const QString success = "SUCCESS: The process \"{target}\" with PID {pid} has been terminated.\n";
    QTest::newRow("ends a process by image name")
        << 14 << QStringList{"/F", "/IM", "{target}"} << 0 << true << success << "";
    QTest::newRow("name beyond the 15 characters of comm")
        << 28 << QStringList{"/F", "/IM", "{target}"} << 0 << true << success << "";
    QTest::newRow("image names ignore case")
        << 14 << QStringList{"/f", "/im", "{TARGET}"} << 0 << true << success << "";
    QTest::newRow("one of two names missing")
        << 14 << QStringList{"/F", "/IM", "{target}", "/IM", "none-such.exe"} << 128 << true << success
        << "ERROR: The process \"none-such.exe\" not found.\n";
    QTest::newRow("name not running") << 14 << QStringList{"/F", "/IM", "none-such.exe"} << 128 << false << ""
                                      << "ERROR: The process \"none-such.exe\" not found.\n";
    QTest::newRow("a prefix is not the name") << 14 << QStringList{"/F", "/IM", "{prefix}"} << 128 << false << ""
                                              << "ERROR: The process \"{prefix}\" not found.\n";
    QTest::newRow("ends a process by id")
        << 14 << QStringList{"/F", "/PID", "{pid}"} << 0 << true
        << "SUCCESS: The process with PID {pid} has been terminated.\n" << "";
    QTest::newRow("id not running") << 14 << QStringList{"/F", "/PID", "999999999"} << 128 << false << ""
                                    << "ERROR: The process \"999999999\" not found.\n";
    QTest::newRow("never itself") << 14 << QStringList{"/F", "/IM", "taskkill"} << 128 << false << ""
                                  << "ERROR: The process \"taskkill\" not found.\n";
    QTest::newRow("asks a process by name to close") << 14 << QStringList{"/IM", "{target}"} << 0 << true
        << "SUCCESS: Sent termination signal to the process \"{target}\" with PID {pid}.\n" << "";
    QTest::newRow("asks a process by id to close") << 14 << QStringList{"/PID", "{pid}"} << 0 << true
        << "SUCCESS: Sent termination signal to the process with PID {pid}.\n" << "";
    QTest::newRow("without /IM") << 14 << QStringList{"/F"} << 1 << false << "" << "*";
    QTest::newRow("/IM without a name") << 14 << QStringList{"/F", "/IM"} << 1 << false << "" << "*";
    QTest::newRow("unknown option") << 14 << QStringList{"/F", "/T", "/IM", "{target}"} << 1 << false << "" << "*";
    // clang-format on
}

void TestStandIns::taskkill()
{
    QFETCH(int, nameLength);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(bool, targetEnded);
    QFETCH(QString, expectedOut);
    QFETCH(QString, expectedErr);

    const QString name = uniqueImageName(nameLength);
    const QString copy = QDir(tmp.path()).filePath(name);
    QVERIFY(QFile::copy(QCoreApplication::applicationDirPath() + "/testhelper", copy));
    QProcess target;
    target.start(copy, {"--sleep", "60000"});
    QVERIFY(target.waitForStarted());
    // Same first 15 characters, different name: must survive every row.
    QProcess sibling;
    const QString siblingCopy = copy + "x";
    if (nameLength > 15) {
        QVERIFY(QFile::copy(copy, siblingCopy));
        sibling.start(siblingCopy, {"--sleep", "60000"});
        QVERIFY(sibling.waitForStarted());
    }

    const QString pid = QString::number(target.processId());
    for (QString *text : {&expectedOut, &expectedErr}) {
        text->replace("{target}", name)
            .replace("{pid}", pid)
            .replace("{prefix}", name.left(name.size() - 1));
    }
    arguments.replaceInStrings("{target}", name);
    arguments.replaceInStrings("{TARGET}", name.toUpper());
    arguments.replaceInStrings("{prefix}", name.left(name.size() - 1));
    arguments.replaceInStrings("{pid}", pid);

    const Outcome outcome = runTool("taskkill", arguments);
    QCOMPARE(outcome.exitCode, exitCode);
    QCOMPARE(outcome.out, expectedOut);
    if (expectedErr == "*")
        QVERIFY(outcome.err.startsWith("ERROR: "));
    else
        QCOMPARE(outcome.err, expectedErr);

    QCOMPARE(target.waitForFinished(targetEnded ? 5000 : 200), targetEnded);
    if (targetEnded) {
        QCOMPARE(target.exitStatus(), QProcess::CrashExit);
        // The signal: forced or asked to close.
        QCOMPARE(target.exitCode(),
                 arguments.contains("/F", Qt::CaseInsensitive) ? SIGKILL : SIGTERM);
    }
    if (nameLength > 15)
        QCOMPARE(sibling.state(), QProcess::Running);
    target.kill();
    sibling.kill();
    target.waitForFinished();
    sibling.waitForFinished();
}

QTEST_GUILESS_MAIN(TestStandIns)
#include "tst_standins.moc"
