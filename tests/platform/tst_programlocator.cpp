#include "platform/programlocator.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

// Where a program given by name is found: beside the running program before PATH, and nowhere
// else.
class TestProgramLocator : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void location_data();
    void location();

private:
    QTemporaryDir pathDir;
    QByteArray oldPath;
};

void TestProgramLocator::initTestCase()
{
    // A directory at the front of PATH that holds a program of the same name as one beside the
    // test, and one of its own; and a file of another name that is not executable.
    QVERIFY(pathDir.isValid());
    for (const char *name : {"testhelper", "onlyinpath"}) {
        QFile file(QDir(pathDir.path()).filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("#!/bin/sh\nexit 0\n");
        file.close();
        QVERIFY(file.setPermissions(file.permissions() | QFile::ExeOwner));
    }
    oldPath = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(pathDir.path()) + ':' + oldPath);
}

void TestProgramLocator::cleanupTestCase()
{
    qputenv("PATH", oldPath);
}

void TestProgramLocator::location_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("expected");

    const QString beside = QCoreApplication::applicationDirPath();
    QTest::newRow("beside the program wins over PATH") << "testhelper" << beside + "/testhelper";
    QTest::newRow("found in PATH") << "onlyinpath" << pathDir.path() + "/onlyinpath";
    QTest::newRow("not found: empty") << "no-such-program-orvalink"
                                      << "";
    QTest::newRow("relative path: empty") << "./testhelper"
                                          << "";
    QTest::newRow("absolute path: empty") << "/bin/sh"
                                          << "";
    QTest::newRow("empty") << ""
                           << "";
}

void TestProgramLocator::location()
{
    QFETCH(QString, program);
    QFETCH(QString, expected);
    QCOMPARE(Updater::Platform::locateProgram(program), expected);
}

QTEST_GUILESS_MAIN(TestProgramLocator)
#include "tst_programlocator.moc"
