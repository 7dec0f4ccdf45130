#include "worker/safetodelete.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

// Which directories the offline clean-up may delete whole. HOME points into a temporary
// directory so that the user's folders are real directories of the test.
class TestSafeToDelete : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void decision_data();
    void decision();

private:
    QTemporaryDir root;
    QString home;
    QString install;
    QString updater;
};

void TestSafeToDelete::initTestCase()
{
    QVERIFY(root.isValid());
    const QDir base(root.path());
    home = base.filePath(QStringLiteral("home/user"));
    install = base.filePath(QStringLiteral("programs/Orvalink"));
    updater = base.filePath(QStringLiteral("updater/bin"));
    for (const QString &dir : {home + "/Documents", home + "/Downloads/offline", install, updater,
                               base.filePath("work/offline/payload")})
        QVERIFY(QDir().mkpath(dir));
    QVERIFY(QFile::link(base.filePath("programs"), base.filePath("programs-link")));

    qputenv("HOME", home.toLocal8Bit());
    for (const char *name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME",
                             "XDG_DOCUMENTS_DIR", "XDG_DOWNLOAD_DIR"})
        qunsetenv(name);
    QCOMPARE(QDir::homePath(), home);
}

void TestSafeToDelete::decision_data()
{
    QTest::addColumn<QString>("dir");
    QTest::addColumn<bool>("safe");

    const QDir base(root.path());
    QTest::newRow("the payload's own directory") << base.filePath("work/offline") << true;
    QTest::newRow("a folder inside Downloads") << home + "/Downloads/offline" << true;
    QTest::newRow("a directory that does not exist") << base.filePath("work/gone") << true;
    QTest::newRow("empty path") << QString() << false;
    QTest::newRow("file-system root") << QStringLiteral("/") << false;
    QTest::newRow("home") << home << false;
    QTest::newRow("home with trailing slash") << home + "/" << false;
    QTest::newRow("home spelled with ..") << home + "/Documents/.." << false;
    QTest::newRow("directory containing home") << base.filePath("home") << false;
    QTest::newRow("Documents") << home + "/Documents" << false;
    QTest::newRow("Downloads") << home + "/Downloads" << false;
    QTest::newRow("Desktop, not created") << home + "/Desktop" << false;
    QTest::newRow("application data")
        << QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) << false;
    QTest::newRow("temporary directory root") << QDir::tempPath() << false;
    QTest::newRow("installation directory") << install << false;
    QTest::newRow("directory containing the installation") << base.filePath("programs") << false;
    QTest::newRow("installation's parent through a link")
        << base.filePath("programs-link") << false;
    QTest::newRow("updater's directory") << updater << false;
    QTest::newRow("directory containing the updater") << base.filePath("updater") << false;
    QTest::newRow("sibling sharing a name prefix")
        << base.filePath("programs/Orvalink-offline") << true;
}

void TestSafeToDelete::decision()
{
    QFETCH(QString, dir);
    QFETCH(bool, safe);
    QCOMPARE(Updater::isSafeToDeleteWholly(dir, install, updater), safe);
}

QTEST_GUILESS_MAIN(TestSafeToDelete)
#include "tst_safetodelete.moc"
