#include "testfiles.h"
#include "worker/processrunner.h"

#include <QElapsedTimer>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

// runProcess against the real helper program built beside the tests (found there by bare name).
class TestProcessRunner : public QObject
{
    Q_OBJECT

private slots:
    void failureText_data();
    void failureText();
    void successDiscardsOutput_data();
    void successDiscardsOutput();
    void missingProgramFailsAtOnce();
    void plantedProgramNeverRuns_data();
    void plantedProgramNeverRuns();
    void nullErrorPointer();
};

void TestProcessRunner::failureText_data()
{
    const QString helper = QStringLiteral("testhelper");
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("expected");

    QTest::newRow("stderr line kept with its line break")
        << helper << QStringList{"--stderr", "cannot open package\n", "--exit", "3"}
        << QStringLiteral("cannot open package\n");
    QTest::newRow("stderr not trimmed")
        << helper
        << QStringList{"--stdout", "ignored\n", "--stderr", "  two\nlines  \n\n", "--exit", "2"}
        << QStringLiteral("  two\nlines  \n\n");
    QTest::newRow("blank stderr gives stdout")
        << helper << QStringList{"--stderr", " \n\t\n", "--stdout", "from stdout\n", "--exit", "1"}
        << QStringLiteral("from stdout\n");
    QTest::newRow("nothing written gives exit code")
        << helper << QStringList{"--exit", "5"} << QStringLiteral("testhelper exited with code 5");
    QTest::newRow("both blank gives exit code")
        << helper << QStringList{"--stdout", " \r\n", "--stderr", "\n", "--exit", "7"}
        << QStringLiteral("testhelper exited with code 7");
    QTest::newRow("decoded as UTF-8")
        << helper << QStringList{"--stderr", "Ошибка: O’Brien\n", "--exit", "1"}
        << QStringLiteral("Ошибка: O’Brien\n");
    QTest::newRow("crash after writing")
        << helper << QStringList{"--stderr", "about to crash\n", "--abort"}
        << QStringLiteral("about to crash\n");
    QTest::newRow("output larger than a pipe")
        << helper << QStringList{"--fill-stderr", "300000", "--exit", "1"}
        << QString(300000, QLatin1Char('x'));
}

void TestProcessRunner::failureText()
{
    QFETCH(QString, program);
    QFETCH(QStringList, arguments);
    QFETCH(QString, expected);

    QString error = QStringLiteral("stale");
    QVERIFY(!Updater::runProcess(program, arguments, &error));
    QCOMPARE(error, expected);
}

void TestProcessRunner::successDiscardsOutput_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("arguments");

    QTest::newRow("exit 0 despite stderr")
        << QStringLiteral("testhelper") << QStringList{"--stderr", "warning: slow disk\n"};
    // cat ends only at the end of its input, so this hangs unless the input is closed.
    QTest::newRow("input closed at start") << QStringLiteral("cat") << QStringList{};
}

void TestProcessRunner::successDiscardsOutput()
{
    QFETCH(QString, program);
    QFETCH(QStringList, arguments);

    QString error = QStringLiteral("stale");
    QVERIFY2(Updater::runProcess(program, arguments, &error), qPrintable(error));
    QVERIFY(error.isEmpty());
}

void TestProcessRunner::missingProgramFailsAtOnce()
{
    QElapsedTimer timer;
    timer.start();
    QString error;
    QVERIFY(!Updater::runProcess(QStringLiteral("no-such-program-orvalink"), {}, &error));
    QCOMPARE(error, QStringLiteral("Failed to start no-such-program-orvalink"));
    QVERIFY2(timer.elapsed() < 5000, "the start limit must not be used up when the start fails");
}

void TestProcessRunner::plantedProgramNeverRuns_data()
{
    // The PATH the program is looked up with; {path} is the test's own.
    QTest::addColumn<QString>("path");
    QTest::newRow("empty PATH entry") << ":{path}";
    QTest::newRow("PATH entry .") << ".:{path}";
    QTest::newRow("relative PATH entry") << "planted:{path}";
}

void TestProcessRunner::plantedProgramNeverRuns()
{
    QFETCH(QString, path);

    // A program that is neither beside the test nor in PATH, planted in the working directory and
    // below it; it leaves a mark when it runs.
    QTemporaryDir cwd;
    QVERIFY(cwd.isValid());
    const QString mark = cwd.filePath("ran");
    const QByteArray script = "#!/bin/sh\ntouch '" + mark.toUtf8() + "'\n";
    QVERIFY(TestSupport::writeExecutable(cwd.filePath("planted-tool"), script));
    QVERIFY(TestSupport::writeExecutable(cwd.filePath("planted/planted-tool"), script));

    const QString oldCwd = QDir::currentPath();
    const QByteArray oldPath = qgetenv("PATH");
    const auto restore = qScopeGuard([&] {
        QDir::setCurrent(oldCwd);
        qputenv("PATH", oldPath);
    });
    QVERIFY(QDir::setCurrent(cwd.path()));
    qputenv("PATH", path.replace("{path}", QString::fromLocal8Bit(oldPath)).toLocal8Bit());

    QString error;
    QVERIFY(!Updater::runProcess(QStringLiteral("planted-tool"), {}, &error));
    QCOMPARE(error, QStringLiteral("Failed to start planted-tool"));
    QVERIFY(!QFileInfo::exists(mark));
}

void TestProcessRunner::nullErrorPointer()
{
    QVERIFY(!Updater::runProcess(QStringLiteral("testhelper"), {"--stderr", "x\n", "--exit", "4"},
                                 nullptr));
    QVERIFY(!Updater::runProcess(QStringLiteral("no-such-program-orvalink"), {}, nullptr));
    QVERIFY(Updater::runProcess(QStringLiteral("testhelper"), {}, nullptr));
}

QTEST_GUILESS_MAIN(TestProcessRunner)
#include "tst_processrunner.moc"
