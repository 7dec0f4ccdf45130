#include "workerharness.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

using namespace WorkerHarness;

// Unpacking the package through powershell.exe (the stand-in beside the test), seen from whole
// online runs of the worker: what reaches the installation, and what never leaves `extracted`.
class TestPackageExtraction : public QObject
{
    Q_OBJECT

private slots:
    void unpacksIntoInstallation_data();
    void unpacksIntoInstallation();
    void leftoverExtractedLinkIsNotFollowed();
};

namespace {

Updater::UpdaterOptions onlineOptions(const QString &installDir)
{
    Updater::UpdaterOptions options;
    options.manifestUrl = QStringLiteral("http://127.0.0.1:9/manifest.json");
    options.installDir = installDir;
    options.currentVersion = QStringLiteral("3.0.0");
    return options;
}

Updater::UpdateManifest manifest()
{
    Updater::UpdateManifest result;
    result.version = QStringLiteral("3.1.0");
    return result;
}

} // namespace

void TestPackageExtraction::unpacksIntoInstallation_data()
{
    // A table reads best one row to a line, which the formatter would not keep.
    // clang-format off
    QTest::addColumn<QString>("installDir"); // relative to the test directory
    QTest::addColumn<QString>("zipped");     // the directory whose contents are zipped
    QTest::addColumn<bool>("withReadme");    // a file beside the Orvalink folder
    QTest::addColumn<bool>("leftover");
    QTest::addColumn<QStringList>("installed"); // empty: refused, the installation unchanged

    const QStringList inFolder{"Orvalink.exe", "lib/", "lib/core.dll", "profiles/", "profiles/default.json"};
    QTest::newRow("one top-level folder") << "app" << "build" << false << false << inFolder;
    QTest::newRow("several top-level entries") << "app" << "build/Orvalink" << false << false << inFolder;
    QTest::newRow("a folder and a file at the top") << "app" << "build" << true << false << QStringList();
    QTest::newRow("quote and typographic quote in the path")
        << "O'Brien’s files/app" << "build" << false << false << inFolder;
    QTest::newRow("every typographic single quote") << "‘a’ ‚b‛ ''/app" << "build" << false << false << inFolder;
    QTest::newRow("percent signs in the path") << "50% %1 %2/app" << "build" << false << false << inFolder;
    QTest::newRow("leftover extracted is emptied") << "app" << "build" << false << true << inFolder;
    // clang-format on
}

void TestPackageExtraction::unpacksIntoInstallation()
{
    QFETCH(QString, installDir);
    QFETCH(QString, zipped);
    QFETCH(bool, withReadme);
    QFETCH(bool, leftover);
    QFETCH(QStringList, installed);

    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QDir base(tmp.path());
    const QString install = base.filePath(installDir);
    const QString updateDir = QDir(QFileInfo(install).path()).filePath(".orvalink-update");
    QVERIFY(writeTree(install, {{"Orvalink.exe", "old"}}));
    QVERIFY(writeTree(
        base.filePath("build/Orvalink"),
        {{"Orvalink.exe", "new"}, {"lib/core.dll", "dll"}, {"profiles/default.json", "{}"}}));
    if (withReadme)
        QVERIFY(writeTree(base.filePath("build"), {{"readme.txt", "r"}}));
    QVERIFY(QFile::setPermissions(base.filePath("build/Orvalink/Orvalink.exe"),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    QVERIFY(QDir().mkpath(updateDir));
    QVERIFY(zipTree(base.filePath(zipped), QDir(updateDir).filePath("package.zip")));
    if (leftover)
        QVERIFY(writeTree(QDir(updateDir).filePath("extracted"), {{"stale/old.dll", "old"}}));

    const RunResult run = runWorker(onlineOptions(install), manifest());
    if (installed.isEmpty()) {
        // The client one level too deep would never start: nothing of the installation changes.
        QCOMPARE(run.events.last(), finished(false, "The package does not contain Orvalink.exe."));
        QCOMPARE(listing(install), QStringList{"Orvalink.exe"});
        return;
    }
    QCOMPARE(run.events.last(), finished(true, "3.1.0"));
    QCOMPARE(listing(install), installed);
    // Modes survive the zip, the unpacking and the move into place.
    QVERIFY(QFileInfo(QDir(install).filePath("Orvalink.exe")).isExecutable());
    QVERIFY(!QFileInfo::exists(updateDir));
}

void TestPackageExtraction::leftoverExtractedLinkIsNotFollowed()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QDir base(tmp.path());
    const QString install = base.filePath("app");
    const QString updateDir = base.filePath(".orvalink-update");
    QVERIFY(writeTree(install, {{"Orvalink.exe", "old"}}));
    QVERIFY(writeTree(base.filePath("build/Orvalink"), {{"Orvalink.exe", "new"}}));
    QVERIFY(writeTree(base.filePath("elsewhere"), {{"keep.txt", "the user's"}}));
    QVERIFY(QDir().mkpath(updateDir));
    QVERIFY(zipTree(base.filePath("build"), QDir(updateDir).filePath("package.zip")));
    QVERIFY(QFile::link(base.filePath("elsewhere"), QDir(updateDir).filePath("extracted")));

    const RunResult run = runWorker(onlineOptions(install), manifest());
    QCOMPARE(run.events.last(), finished(true, "3.1.0"));
    QCOMPARE(listing(install), QStringList{"Orvalink.exe"});
    QCOMPARE(listing(base.filePath("elsewhere")), QStringList{"keep.txt"});
}

QTEST_GUILESS_MAIN(TestPackageExtraction)
#include "tst_packageextraction.moc"
