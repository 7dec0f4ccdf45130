#include "filesystemfaults.h"
#include "install/installationdirectory.h"
#include "install/staginglayout.h"

#include <QDir>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

// Which installation directories an update may work on, and how a path to one is read: an
// update moves the whole directory aside and deletes it with the backup.
class TestInstallationDirectory : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void check_data();
    void check();
    void workingDirectoriesLieBeside_data();
    void workingDirectoriesLieBeside();

private:
    QTemporaryDir root;
    QString home;
    TestSupport::FileSystemFaults faults;
    bool aliased = false; // root/alias is home through a bind mount
};

void TestInstallationDirectory::initTestCase()
{
    QVERIFY(root.isValid());
    home = QDir(root.path()).filePath(QStringLiteral("home/user"));
    QVERIFY(QDir().mkpath(home + QStringLiteral("/Documents")));
    qputenv("HOME", home.toLocal8Bit());
    for (const char *name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"})
        qunsetenv(name);
    aliased = faults.bindMount(home, QDir(root.path()).filePath(QStringLiteral("alias")));
}

void TestInstallationDirectory::check_data()
{
    QTest::addColumn<QString>("dir");
    QTest::addColumn<bool>("updatable");

    QTest::newRow("a folder of its own in home") << home + QStringLiteral("/Orvalink") << true;
    QTest::newRow("file-system root") << QStringLiteral("/") << false;
    QTest::newRow("home") << home << false;
    QTest::newRow("home spelled with ..") << home + QStringLiteral("/Documents/..") << false;
    QTest::newRow("a folder holding home") << QFileInfo(home).path() << false;
    QTest::newRow("Documents") << home + QStringLiteral("/Documents") << false;
    QTest::newRow("temporary directory") << QDir::tempPath() << false;
    QTest::newRow("application data")
        << QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) << false;
    // Another name of the same folder, as a junction, a short name or a subst drive on Windows.
    const QString alias = QDir(root.path()).filePath(QStringLiteral("alias"));
    QTest::newRow("home by another name") << alias << false;
    QTest::newRow("a folder of its own in home by another name")
        << alias + QStringLiteral("/Orvalink") << true;
}

void TestInstallationDirectory::check()
{
    QFETCH(QString, dir);
    QFETCH(bool, updatable);
    if (dir.contains(QLatin1String("/alias")) && !aliased)
        QSKIP("mount --bind is not available here");
    QString error;
    QCOMPARE(Updater::checkInstallDir(dir, &error), updatable);
    QCOMPARE(error, updatable ? QString()
                              : QStringLiteral("The installation directory %1 cannot be updated.")
                                    .arg(QDir::toNativeSeparators(dir)));
}

void TestInstallationDirectory::workingDirectoriesLieBeside_data()
{
    QTest::addColumn<QString>("spelled");
    QTest::newRow("plain") << QStringLiteral("apps/Orvalink");
    // Taken as given, these put the working directories inside the installation, where the
    // in-place copy deleted the preserved user entries.
    QTest::newRow("trailing separator") << QStringLiteral("apps/Orvalink/");
    QTest::newRow("through a subfolder and ..") << QStringLiteral("apps/Orvalink/sub/..");
    QTest::newRow("relative with .") << QStringLiteral("./apps/./Orvalink");
}

void TestInstallationDirectory::workingDirectoriesLieBeside()
{
    QFETCH(QString, spelled);
    QVERIFY(QDir::setCurrent(root.path()));
    const QString installDir = Updater::normalizedInstallDir(spelled);
    QCOMPARE(installDir, QDir(root.path()).filePath(QStringLiteral("apps/Orvalink")));
    const Updater::StagingLayout layout(installDir);
    QCOMPARE(layout.backupDir(),
             QDir(root.path()).filePath(QStringLiteral("apps/.orvalink-backup-Orvalink")));
    QCOMPARE(layout.lockFile(),
             QDir(root.path()).filePath(QStringLiteral("apps/.orvalink-update.lock")));
}

QTEST_GUILESS_MAIN(TestInstallationDirectory)
#include "tst_installationdirectory.moc"
