#include "workerharness.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <archive.h>
#include <archive_entry.h>

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
    void refusesEntriesLeavingTheDestination_data();
    void refusesEntriesLeavingTheDestination();
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

// Entries as "file:<name>" or "link:<name>><target>"; names are stored exactly as given,
// which Info-ZIP would not do for the hostile ones.
bool writeRawZip(const QString &zipPath, const QStringList &entries)
{
    archive *zip = archive_write_new();
    bool ok = archive_write_set_format_zip(zip) == ARCHIVE_OK
        && archive_write_open_filename(zip, QFile::encodeName(zipPath).constData()) == ARCHIVE_OK;
    for (const QString &description : entries) {
        if (!ok)
            break;
        archive_entry *entry = archive_entry_new();
        const QString kind = description.section(QLatin1Char(':'), 0, 0);
        const QString rest = description.section(QLatin1Char(':'), 1);
        const QByteArray content = "payload\n";
        if (kind == QLatin1String("link")) {
            archive_entry_copy_pathname(entry, rest.section(QLatin1Char('>'), 0, 0).toUtf8().constData());
            archive_entry_set_filetype(entry, AE_IFLNK);
            archive_entry_set_perm(entry, 0777);
            archive_entry_copy_symlink(entry, rest.section(QLatin1Char('>'), 1).toUtf8().constData());
            ok = archive_write_header(zip, entry) == ARCHIVE_OK;
        } else {
            archive_entry_copy_pathname(entry, rest.toUtf8().constData());
            archive_entry_set_filetype(entry, AE_IFREG);
            archive_entry_set_perm(entry, 0644);
            archive_entry_set_size(entry, content.size());
            ok = archive_write_header(zip, entry) == ARCHIVE_OK
                && archive_write_data(zip, content.constData(), static_cast<size_t>(content.size())) == content.size();
        }
        archive_entry_free(entry);
    }
    ok = archive_write_close(zip) == ARCHIVE_OK && ok;
    archive_write_free(zip);
    return ok;
}

} // namespace

void TestPackageExtraction::unpacksIntoInstallation_data()
{
    QTest::addColumn<QString>("installDir"); // relative to the test directory
    QTest::addColumn<QString>("zipped");     // the directory whose contents are zipped
    QTest::addColumn<bool>("withReadme");    // a file beside the Orvalink folder
    QTest::addColumn<bool>("leftover");
    QTest::addColumn<QStringList>("installed");

    const QStringList inFolder{"Orvalink.exe", "lib/", "lib/core.dll", "profiles/", "profiles/default.json"};
    const QStringList folderAndFile{"Orvalink/", "Orvalink/Orvalink.exe", "Orvalink/lib/",
                                    "Orvalink/lib/core.dll", "Orvalink/profiles/",
                                    "Orvalink/profiles/default.json", "readme.txt"};
    QTest::newRow("one top-level folder") << "app" << "build" << false << false << inFolder;
    QTest::newRow("several top-level entries") << "app" << "build/Orvalink" << false << false << inFolder;
    QTest::newRow("a folder and a file at the top") << "app" << "build" << true << false << folderAndFile;
    QTest::newRow("quote and typographic quote in the path")
        << "O'Brien’s files/app" << "build" << false << false << inFolder;
    QTest::newRow("every typographic single quote") << "‘a’ ‚b‛ ''/app" << "build" << false << false << inFolder;
    QTest::newRow("percent signs in the path") << "50% %1 %2/app" << "build" << false << false << inFolder;
    QTest::newRow("leftover extracted is emptied") << "app" << "build" << false << true << inFolder;
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
    QVERIFY(writeTree(base.filePath("build/Orvalink"), {{"Orvalink.exe", "new"},
                                                        {"lib/core.dll", "dll"},
                                                        {"profiles/default.json", "{}"}}));
    if (withReadme)
        QVERIFY(writeTree(base.filePath("build"), {{"readme.txt", "r"}}));
    QVERIFY(QFile::setPermissions(base.filePath("build/Orvalink/Orvalink.exe"),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    QVERIFY(QDir().mkpath(updateDir));
    QVERIFY(zipDirectory(base.filePath(zipped), QDir(updateDir).filePath("package.zip")));
    if (leftover)
        QVERIFY(writeTree(QDir(updateDir).filePath("extracted"), {{"stale/old.dll", "old"}}));

    const RunResult run = runWorker(onlineOptions(install), manifest());
    QCOMPARE(run.events.last(), finished(true, "3.1.0"));
    QCOMPARE(listing(install), installed);
    // Modes survive the zip, the unpacking and the move into place.
    const QString executable = installed.contains("Orvalink.exe") ? "Orvalink.exe" : "Orvalink/Orvalink.exe";
    QVERIFY(QFileInfo(QDir(install).filePath(executable)).isExecutable());
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
    QVERIFY(zipDirectory(base.filePath("build"), QDir(updateDir).filePath("package.zip")));
    QVERIFY(QFile::link(base.filePath("elsewhere"), QDir(updateDir).filePath("extracted")));

    const RunResult run = runWorker(onlineOptions(install), manifest());
    QCOMPARE(run.events.last(), finished(true, "3.1.0"));
    QCOMPARE(listing(install), QStringList{"Orvalink.exe"});
    QCOMPARE(listing(base.filePath("elsewhere")), QStringList{"keep.txt"});
}

void TestPackageExtraction::refusesEntriesLeavingTheDestination_data()
{
    QTest::addColumn<QStringList>("entries"); // {outside} is an absolute directory outside
    QTest::addColumn<QStringList>("extractedAfter");

    QTest::newRow("dot-dot") << QStringList{"file:ok.txt", "file:../escaped.txt"} << QStringList{"ok.txt"};
    QTest::newRow("dot-dot below a folder") << QStringList{"file:sub/../../escaped.txt"} << QStringList{};
    QTest::newRow("dot-dot with backslashes") << QStringList{"file:..\\escaped.txt"} << QStringList{};
    QTest::newRow("absolute path") << QStringList{"file:{outside}/absolute.txt"} << QStringList{};
    QTest::newRow("link to an absolute path") << QStringList{"link:out>{outside}"} << QStringList{};
    QTest::newRow("relative link leading out, then a file through it")
        << QStringList{"link:out>../../outside", "file:out/through.txt"} << QStringList{};
    QTest::newRow("file through a link that stays inside")
        << QStringList{"file:sub/a.txt", "link:in>sub", "file:in/b.txt"}
        << QStringList{"in", "sub/", "sub/a.txt"};
    QTest::newRow("link led out by a later link")
        << QStringList{"link:up>self/..", "link:self>."} << QStringList{"self"};
}

void TestPackageExtraction::refusesEntriesLeavingTheDestination()
{
    QFETCH(QStringList, entries);
    QFETCH(QStringList, extractedAfter);

    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QDir base(tmp.path());
    QVERIFY(writeTree(base.filePath("app"), {{"Orvalink.exe", "old"}}));
    QVERIFY(base.mkpath("outside"));
    QVERIFY(base.mkpath(".orvalink-update"));
    entries.replaceInStrings(QStringLiteral("{outside}"), base.filePath("outside"));
    QVERIFY(writeRawZip(base.filePath(".orvalink-update/package.zip"), entries));

    const RunResult run = runWorker(onlineOptions(base.filePath("app")), manifest());
    QCOMPARE(run.events.size(), 3);
    QVERIFY2(run.events.last().startsWith(QLatin1String("finished false Expand-Archive : "))
                 && run.events.last().contains(QLatin1String("outside the destination")),
             qPrintable(run.events.last()));

    QCOMPARE(listing(base.filePath("outside")), QStringList{});
    QCOMPARE(listing(base.filePath(".orvalink-update")).filter(QRegularExpression("^[^/]+/?$")),
             (QStringList{"extracted/", "package.zip"}));
    QCOMPARE(listing(base.filePath(".orvalink-update/extracted")), extractedAfter);
    QCOMPARE(listing(base.filePath("app")), QStringList{"Orvalink.exe"});
}

QTEST_GUILESS_MAIN(TestPackageExtraction)
#include "tst_packageextraction.moc"
