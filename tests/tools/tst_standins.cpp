#include "testfiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

#include <archive.h>
#include <archive_entry.h>
#include <csignal>

using TestSupport::listing;

// The Linux stand-ins for powershell.exe and taskkill, run as the built programs.
class TestStandIns : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void powershellCommandLine_data();
    void powershellCommandLine();
    void powershellReportsFullDisk();
    void powershellRefusesEntriesLeavingTheDestination_data();
    void powershellRefusesEntriesLeavingTheDestination();
    void taskkill_data();
    void taskkill();

private:
    QTemporaryDir tmp;
    QString archive;
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

// Entries as "file:<name>" or "link:<name>><target>"; names are stored exactly as given,
// which Info-ZIP would not do for the hostile ones.
bool writeRawZip(const QString &zipPath, const QStringList &entries)
{
    archive *zip = archive_write_new();
    bool ok =
        archive_write_set_format_zip(zip) == ARCHIVE_OK
        && archive_write_open_filename(zip, QFile::encodeName(zipPath).constData()) == ARCHIVE_OK;
    for (const QString &description : entries) {
        if (!ok)
            break;
        archive_entry *entry = archive_entry_new();
        const QString kind = description.section(QLatin1Char(':'), 0, 0);
        const QString rest = description.section(QLatin1Char(':'), 1);
        const QByteArray content = "payload\n";
        if (kind == QLatin1String("link")) {
            archive_entry_copy_pathname(entry,
                                        rest.section(QLatin1Char('>'), 0, 0).toUtf8().constData());
            archive_entry_set_filetype(entry, AE_IFLNK);
            archive_entry_set_perm(entry, 0777);
            archive_entry_copy_symlink(entry,
                                       rest.section(QLatin1Char('>'), 1).toUtf8().constData());
            ok = archive_write_header(zip, entry) == ARCHIVE_OK;
        } else {
            archive_entry_copy_pathname(entry, rest.toUtf8().constData());
            archive_entry_set_filetype(entry, AE_IFREG);
            archive_entry_set_perm(entry, 0644);
            archive_entry_set_size(entry, content.size());
            ok =
                archive_write_header(zip, entry) == ARCHIVE_OK
                && archive_write_data(zip, content.constData(), static_cast<size_t>(content.size()))
                       == content.size();
        }
        archive_entry_free(entry);
    }
    ok = archive_write_close(zip) == ARCHIVE_OK && ok;
    archive_write_free(zip);
    return ok;
}

} // namespace

void TestStandIns::initTestCase()
{
    QVERIFY(tmp.isValid());
    QDir base(tmp.path());
    QVERIFY(base.mkpath("content/dir"));
    QFile file(base.filePath("content/dir/file.txt"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("content\n");
    file.close();
    archive = base.filePath("package.zip");
    QProcess zip;
    zip.setWorkingDirectory(base.filePath("content"));
    zip.start("zip", {"-q", "-r", archive, "."});
    QVERIFY(zip.waitForFinished() && zip.exitCode() == 0);
}

void TestStandIns::powershellCommandLine_data()
{
    // A table reads best one row to a line, which the formatter would not keep.
    // clang-format off
    // {zip} is the archive; the destination is a fresh directory of the test, {dest} below it.
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("unpackedInto"); // below the fresh directory; empty: refused

    const QStringList prefix{"-NoProfile", "-NonInteractive", "-ExecutionPolicy", "Bypass", "-Command"};
    auto command = [&prefix](const QString &text) { return prefix + QStringList{text}; };
    const QString plain = "Expand-Archive -LiteralPath '{zip}' -DestinationPath '{dest}/out' -Force";

    QTest::newRow("the updater's form") << command(plain) << "out";
    QTest::newRow("names in another case, more blanks")
        << QStringList{"-noprofile", "-NONINTERACTIVE", "-executionpolicy", "bypass", "-command",
                       "  expand-archive\t-literalpath '{zip}'   -destinationpath '{dest}/out' -force "}
        << "out";
    QTest::newRow("doubled quote is one quote")
        << command("Expand-Archive -LiteralPath '{zip}' -DestinationPath '{dest}/it''s' -Force") << "it's";
    QTest::newRow("doubled typographic quotes")
        << command("Expand-Archive -LiteralPath '{zip}' -DestinationPath '{dest}/O’’Brien ‘‘a’’ ‚‚b‛‛' -Force")
        << "O’Brien ‘a’ ‚b‛";
    QTest::newRow("typographic quotes around the paths")
        << command("Expand-Archive -LiteralPath ‘{zip}’ -DestinationPath ‚{dest}/out‛ -Force") << "out";
    QTest::newRow("dollar and backtick stay literal")
        << command("Expand-Archive -LiteralPath '{zip}' -DestinationPath '{dest}/$env `n' -Force") << "$env `n";

    QTest::newRow("single typographic quote ends the path")
        << command("Expand-Archive -LiteralPath '{zip}' -DestinationPath '{dest}/O’Brien' -Force") << "";
    QTest::newRow("no arguments") << QStringList{} << "";
    QTest::newRow("extra argument") << command(plain) + QStringList{"-Force"} << "";
    QTest::newRow("missing -NoProfile") << prefix.mid(1) + QStringList{plain} << "";
    QTest::newRow("other execution policy")
        << QStringList{"-NoProfile", "-NonInteractive", "-ExecutionPolicy", "Restricted", "-Command", plain} << "";
    QTest::newRow("without -Force") << command(QString(plain).remove(" -Force")) << "";
    QTest::newRow("-Path instead of -LiteralPath") << command(QString(plain).replace("-LiteralPath", "-Path")) << "";
    QTest::newRow("parameters swapped")
        << command("Expand-Archive -DestinationPath '{dest}/out' -LiteralPath '{zip}' -Force") << "";
    QTest::newRow("second command") << command(plain + "; Remove-Item '{dest}'") << "";
    QTest::newRow("double-quoted path")
        << command("Expand-Archive -LiteralPath \"{zip}\" -DestinationPath '{dest}/out' -Force") << "";
    QTest::newRow("unterminated quote")
        << command("Expand-Archive -LiteralPath '{zip}' -DestinationPath '{dest}/out -Force") << "";
    QTest::newRow("empty path") << command("Expand-Archive -LiteralPath '' -DestinationPath '{dest}/out' -Force") << "";
    QTest::newRow("text glued to a quote")
        << command("Expand-Archive -LiteralPath '{zip}'x -DestinationPath '{dest}/out' -Force") << "";
    QTest::newRow("missing archive")
        << command("Expand-Archive -LiteralPath '{zip}.missing' -DestinationPath '{dest}/out' -Force") << "";
    // clang-format on
}

void TestStandIns::powershellCommandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, unpackedInto);

    QTemporaryDir dest(tmp.path() + "/dest-XXXXXX");
    QVERIFY(dest.isValid());
    arguments.replaceInStrings("{zip}", archive);
    arguments.replaceInStrings("{dest}", dest.path());

    const Outcome outcome = runTool("powershell.exe", arguments);
    if (unpackedInto.isEmpty()) {
        QVERIFY2(outcome.exitCode > 0, qPrintable(QString::number(outcome.exitCode)));
        QVERIFY(!outcome.err.trimmed().isEmpty());
        QCOMPARE(QDir(dest.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList{});
    } else {
        QVERIFY2(outcome.exitCode == 0, qPrintable(outcome.err));
        QVERIFY(QFile::exists(QDir(dest.path()).filePath(unpackedInto + "/dir/file.txt")));
    }
}

namespace {

// Unmounts what it mounted, also when the test fails half-way.
struct TmpfsMount
{
    QString point;
    bool mounted = false;
    bool mount(const QString &where, const QString &size)
    {
        point = where;
        mounted =
            QDir().mkpath(where)
            && QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=" + size, "tmpfs", where})
                   == 0;
        return mounted;
    }
    ~TmpfsMount()
    {
        if (mounted)
            QProcess::execute("umount", {point});
    }
};

} // namespace

void TestStandIns::powershellReportsFullDisk()
{
    // libarchive reports a failed write as a mere warning; it must still fail the extraction.
    const QDir base(tmp.path());
    QVERIFY(base.mkpath("big"));
    QFile letters(base.filePath("big/letters.txt"));
    QVERIFY(letters.open(QIODevice::WriteOnly));
    letters.write(QByteArray(3 << 20, 'a'));
    letters.close();
    QProcess zip;
    zip.setWorkingDirectory(base.filePath("big"));
    zip.start("zip", {"-q", "-r", base.filePath("big.zip"), "."});
    QVERIFY(zip.waitForFinished() && zip.exitCode() == 0);

    TmpfsMount small;
    if (!small.mount(base.filePath("small"), "1m"))
        QSKIP("cannot mount a tmpfs here (needs root)");
    const Outcome outcome =
        runTool("powershell.exe",
                {"-NoProfile", "-NonInteractive", "-ExecutionPolicy", "Bypass", "-Command",
                 "Expand-Archive -LiteralPath '" + base.filePath("big.zip") + "' -DestinationPath '"
                     + base.filePath("small/out") + "' -Force"});
    QCOMPARE(outcome.exitCode, 1);
    QVERIFY2(outcome.err.contains("No space left on device"), qPrintable(outcome.err));
}

void TestStandIns::powershellRefusesEntriesLeavingTheDestination_data()
{
    // A table reads best one row to a line, which the formatter would not keep.
    // clang-format off
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
    // clang-format on
}

void TestStandIns::powershellRefusesEntriesLeavingTheDestination()
{
    QFETCH(QStringList, entries);
    QFETCH(QStringList, extractedAfter);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QDir base(dir.path());
    QVERIFY(base.mkpath("outside"));
    QVERIFY(base.mkpath("update/extracted"));
    entries.replaceInStrings(QStringLiteral("{outside}"), base.filePath("outside"));
    const QString zip = base.filePath("update/package.zip");
    QVERIFY(writeRawZip(zip, entries));

    const Outcome outcome =
        runTool("powershell.exe",
                {"-NoProfile", "-NonInteractive", "-ExecutionPolicy", "Bypass", "-Command",
                 QStringLiteral("Expand-Archive -LiteralPath '%1' -DestinationPath '%2' -Force")
                     .arg(zip, base.filePath("update/extracted"))});
    QCOMPARE(outcome.exitCode, 1);
    QVERIFY2(outcome.err.startsWith(QLatin1String("Expand-Archive : "))
                 && outcome.err.contains(QLatin1String("outside the destination")),
             qPrintable(outcome.err));

    QCOMPARE(listing(base.filePath("outside")), QStringList{});
    QCOMPARE(listing(base.filePath("update")).filter(QRegularExpression("^[^/]+/?$")),
             (QStringList{"extracted/", "package.zip"}));
    QCOMPARE(listing(base.filePath("update/extracted")), extractedAfter);
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
