#include "filesystemfaults.h"
#include "worker/packageextraction.h"
#include "workerharness.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

using namespace WorkerHarness;

// Unpacking the package in the updater: the entry and size rules on real zips made by Python's
// zipfile, and whole online runs of the worker (what reaches the installation, and what
// never leaves `extracted`).
class TestPackageExtraction : public QObject
{
    Q_OBJECT

private slots:
    void entryRules_data();
    void entryRules();
    void unpacksIntoInstallation_data();
    void unpacksIntoInstallation();
    void leftoverExtractedLinkIsNotFollowed();
};

namespace {

// Writes zipPath with Python's zipfile, one entry per item: "name" a file holding "data",
// "name/" a directory, "exec:name" an executable file, "link:name>target" a symbolic link.
// claimedSize, when not negative, is written into the headers as the first entry's size; files
// hold randomBytes random bytes, or "data" when it is 0.
bool writePythonZip(const QString &zipPath, const QStringList &items, qint64 claimedSize,
                    int randomBytes)
{
    static const char script[] = R"(
import json, os, struct, sys, zipfile
path, items, claim = sys.argv[1], json.loads(sys.argv[2]), int(sys.argv[3])
data = os.urandom(int(sys.argv[4])) if int(sys.argv[4]) else b"data"
with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
    for item in items:
        kind, _, name = item.rpartition(":") if item.startswith(("exec:", "link:")) else ("", "", item)
        name, _, target = name.partition(">") if kind == "link" else (name, "", "")
        info = zipfile.ZipInfo(name, (2024, 1, 2, 3, 4, 6))
        info.compress_type = zipfile.ZIP_DEFLATED
        mode = {"link": 0o120777, "exec": 0o100755}.get(kind, 0o40755 if name.endswith("/") else 0o100644)
        info.external_attr = mode << 16 | (0x10 if name.endswith("/") else 0)
        z.writestr(info, target.encode() if kind == "link" else b"" if name.endswith("/") else data)
if claim >= 0:
    raw = bytearray(open(path, "rb").read())
    central = raw.find(b"PK\x01\x02")
    struct.pack_into("<I", raw, 22, claim)
    struct.pack_into("<I", raw, central + 24, claim)
    open(path, "wb").write(raw)
)";
    const QByteArray names = QJsonDocument(QJsonArray::fromStringList(items)).toJson();
    QString output;
    const bool ok = runCommand(QStringLiteral("/usr/bin/python3"),
                               {QStringLiteral("-c"), QString::fromUtf8(script), zipPath,
                                QString::fromUtf8(names), QString::number(claimedSize),
                                QString::number(randomBytes)},
                               &output);
    if (!ok)
        qWarning("python3 zipfile: %s", qPrintable(output));
    return ok;
}

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

void TestPackageExtraction::entryRules_data()
{
    // A table reads best one row to a line, which the formatter would not keep.
    // clang-format off
    QTest::addColumn<QStringList>("items");     // as writePythonZip takes them
    QTest::addColumn<qint64>("claimedSize");    // written into the headers; -1: the true size
    QTest::addColumn<int>("dataSize");          // random bytes in each file; 0: "data"
    QTest::addColumn<QString>("volume");        // tmpfs size for the destination; empty: none
    QTest::addColumn<QString>("message");       // the error; ends in ": " for its start only
    QTest::addColumn<QStringList>("unpacked");  // listing of the destination afterwards

    QTest::newRow("files, folders, odd but allowed names")
        << QStringList{"exec:Orvalink.exe", "lib/", "lib/core.dll", "[x64] O'Brien’s 50%/файл.txt", ".hidden", "a..b"} << qint64(-1) << 0 << "" << ""
        << QStringList{".hidden", "Orvalink.exe", "[x64] O'Brien’s 50%/", "[x64] O'Brien’s 50%/файл.txt", "a..b", "lib/", "lib/core.dll"};
    QTest::newRow("folders implied, backslash separates, folder named twice")
        << QStringList{"deep\\er/file.txt", "deep/", "deep/er/"} << qint64(-1) << 0 << "" << "" << QStringList{"deep/", "deep/er/", "deep/er/file.txt"};

    const QStringList data{"bin/data.bin"};
    const QStringList partial{"bin/", "bin/data.bin"};
    QTest::newRow("header gives fewer bytes than the entry holds") << data << qint64(5000) << 100000 << "" << "Failed to extract package: " << partial;
    QTest::newRow("header gives more bytes than the entry holds") << data << qint64(200000) << 100000 << "" << "Failed to extract package: " << partial;
    QTest::newRow("claims far beyond the package: a bomb") << data << qint64(0xfffffff0) << 100 << ""
        << "Failed to extract package: its entries claim more than 1100 times its own size, which no honest package does." << QStringList{};
    QTest::newRow("more than the disk has free") << data << qint64(-1) << 3000000 << "1M"
        << "Failed to extract package: it needs 3 MB of free disk space, and 1 MB are free." << QStringList{};

    // Not even the harmless entry before the refused one is written.
    const auto refusedRow = [](const char *rule, const QStringList &items, const QString &shown) {
        QTest::newRow(rule) << QStringList{"ok.txt"} + items << qint64(-1) << 0 << "" << "Package entry is not allowed: " + shown << QStringList{};
    };
    refusedRow("absolute", {"/tmp/evil"}, "/tmp/evil");
    // libarchive hands backslashes on as slashes.
    refusedRow("absolute with backslash", {"\\evil"}, "/evil");
    refusedRow("UNC", {"\\\\server\\share\\evil"}, "//server/share/evil");
    refusedRow("UNC with slashes", {"//server/share/evil"}, "//server/share/evil");
    refusedRow("drive letter", {"C:/evil"}, "C:/evil");
    refusedRow("drive-relative", {"C:evil"}, "C:evil");
    refusedRow("dot-dot", {"../evil"}, "../evil");
    refusedRow("dot-dot below a folder", {"a/../../evil"}, "a/../../evil");
    refusedRow("dot-dot with backslash", {"..\\evil"}, "../evil");
    refusedRow("dot segment", {"./evil"}, "./evil");
    refusedRow("empty segment", {"a//evil"}, "a//evil");
    refusedRow("control character", {"a\x01" "b"}, "a\\x01b");
    refusedRow("alternate data stream", {"ok.txt:hidden"}, "ok.txt:hidden");
    refusedRow("character Windows refuses", {"what?.txt"}, "what?.txt");
    refusedRow("device name", {"CON"}, "CON");
    refusedRow("device name with extension", {"lib/nul.txt"}, "lib/nul.txt");
    refusedRow("numbered device name", {"COM1.log"}, "COM1.log");
    refusedRow("device name as a folder", {"LPT9/x"}, "LPT9/x");
    refusedRow("trailing dot", {"evil."}, "evil.");
    refusedRow("trailing space", {"evil /x"}, "evil /x");
    refusedRow("same name twice", {"ok.txt"}, "ok.txt");
    refusedRow("names differing in case", {"OK.TXT"}, "OK.TXT");
    refusedRow("folders differing in case", {"Lib/a", "lib/b"}, "lib/b");
    refusedRow("file where a folder is", {"ok.txt/inner"}, "ok.txt/inner");
    refusedRow("symbolic link", {"link:escape>../outside"}, "escape");
    refusedRow("working directory at the top", {".orvalink-backup/x"}, ".orvalink-backup/x");
    refusedRow("working directory in the top folder", {"Orvalink/.ORVALINK-UPDATE/x"}, "Orvalink/.ORVALINK-UPDATE/x");
    refusedRow("lock file at the top", {".orvalink-update.lock"}, ".orvalink-update.lock");
    // clang-format on
}

void TestPackageExtraction::entryRules()
{
    QFETCH(QStringList, items);
    QFETCH(qint64, claimedSize);
    QFETCH(int, dataSize);
    QFETCH(QString, volume);
    QFETCH(QString, message);
    QFETCH(QStringList, unpacked);

    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QDir base(tmp.path());
    const QString out = base.filePath(QStringLiteral("out"));
    FileSystemFaults faults;
    if (!volume.isEmpty() && !faults.mountTmpfs(out, volume))
        QSKIP("mount is not available here");
    QVERIFY(base.mkpath(QStringLiteral("out")));
    const QString zip = base.filePath(QStringLiteral("package.zip"));
    QVERIFY(writePythonZip(zip, items, claimedSize, dataSize));

    QString error;
    bool needsMoreRoom = false;
    const bool ok = Updater::extractPackageFile(zip, out, &error, &needsMoreRoom);
    QCOMPARE(listing(out), unpacked);
    QCOMPARE(needsMoreRoom, !volume.isEmpty());
    if (message.isEmpty()) {
        QVERIFY2(ok, qPrintable(error));
        // The executable bit is kept where it was, and only there.
        if (unpacked.contains(QStringLiteral("Orvalink.exe"))) {
            QVERIFY(QFileInfo(QDir(out).filePath(QStringLiteral("Orvalink.exe"))).isExecutable());
            QVERIFY(!QFileInfo(QDir(out).filePath(QStringLiteral("lib/core.dll"))).isExecutable());
        }
        return;
    }
    QVERIFY(!ok);
    QVERIFY2(message.endsWith(QLatin1String(": ")) ? error.startsWith(message) : error == message,
             qPrintable(error));
}

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
    QTest::newRow("brackets in the path") << "Apps [x64]/app" << "build" << false << false << inFolder;
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
