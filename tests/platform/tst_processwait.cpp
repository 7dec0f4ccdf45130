#include "platform/processwait.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QtTest>

using Updater::Platform::ProcessWaitResult;
Q_DECLARE_METATYPE(ProcessWaitResult)

// The wait for the client process, against real processes of the helper program.
class TestProcessWait : public QObject
{
    Q_OBJECT

private slots:
    void outcome_data();
    void outcome();
};

void TestProcessWait::outcome_data()
{
    QTest::addColumn<int>("lifeMs");       // how long the helper lives; -1: it has ended already
    QTest::addColumn<qint64>("pidOffset"); // added to the helper's id before waiting
    QTest::addColumn<int>("timeoutMs");
    QTest::addColumn<ProcessWaitResult>("expected");
    QTest::addColumn<int>("minElapsedMs");
    QTest::addColumn<int>("maxElapsedMs");
    // Held as the program holds the client, by a "program" that started before the helper.
    QTest::addColumn<bool>("heldFromBefore");

    QTest::newRow("exits after a moment")
        << 600 << qint64(0) << 10000 << ProcessWaitResult::Exited << 500 << 5000 << false;
    QTest::newRow("already gone") << -1 << qint64(0) << 10000 << ProcessWaitResult::NotFound << 0
                                  << 1000 << false;
    QTest::newRow("outlives the limit")
        << 10000 << qint64(0) << 400 << ProcessWaitResult::TimedOutOrFailed << 400 << 3000 << false;
    QTest::newRow("only the low 32 bits of the id count")
        << 10000 << (qint64(1) << 32) << 300 << ProcessWaitResult::TimedOutOrFailed << 300 << 3000
        << false;
    QTest::newRow("negative limit waits to the end")
        << 600 << qint64(0) << -1 << ProcessWaitResult::Exited << 500 << 5000 << false;
    QTest::newRow("zero limit only looks")
        << 10000 << qint64(0) << 0 << ProcessWaitResult::TimedOutOrFailed << 0 << 1000 << false;
    // Its id was given to it after the client had ended: it is not the client.
    QTest::newRow("started after the updater")
        << 10000 << qint64(0) << 10000 << ProcessWaitResult::NotFound << 0 << 1000 << true;
}

void TestProcessWait::outcome()
{
    QFETCH(int, lifeMs);
    QFETCH(qint64, pidOffset);
    QFETCH(int, timeoutMs);
    QFETCH(ProcessWaitResult, expected);
    QFETCH(int, minElapsedMs);
    QFETCH(int, maxElapsedMs);
    QFETCH(bool, heldFromBefore);

    const auto programStart = Updater::Platform::processClockNow();
    if (heldFromBefore)
        QTest::qWait(50); // past the clock's resolution (clock ticks on Linux)
    QProcess helper;
    helper.start(QCoreApplication::applicationDirPath() + "/testhelper",
                 {"--sleep", QString::number(qMax(lifeMs, 0))});
    QVERIFY(helper.waitForStarted());
    const qint64 pid = helper.processId();
    if (lifeMs < 0)
        QVERIFY(helper.waitForFinished());

    QElapsedTimer timer;
    timer.start();
    const ProcessWaitResult result =
        heldFromBefore ? Updater::Platform::HeldProcess(pid, programStart).wait(timeoutMs)
                       : Updater::Platform::waitForProcessExit(pid + pidOffset, timeoutMs);
    const qint64 elapsed = timer.elapsed();

    helper.kill();
    helper.waitForFinished();
    QCOMPARE(result, expected);
    QVERIFY2(elapsed >= minElapsedMs && elapsed <= maxElapsedMs,
             qPrintable(QString::number(elapsed)));
}

QTEST_GUILESS_MAIN(TestProcessWait)
#include "tst_processwait.moc"
