#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

// The Linux stand-ins for powershell.exe and taskkill, run as the built programs.
class TestStandIns : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void powershellCommandLine_data();
    void powershellCommandLine();
    void powershellReportsFullDisk();
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
        QCOMPARE(QDir(dest.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{});
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
        mounted = QDir().mkpath(where)
            && QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=" + size, "tmpfs", where}) == 0;
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
    const Outcome outcome = runTool("powershell.exe",
        {"-NoProfile", "-NonInteractive", "-ExecutionPolicy", "Bypass", "-Command",
         "Expand-Archive -LiteralPath '" + base.filePath("big.zip") + "' -DestinationPath '"
             + base.filePath("small/out") + "' -Force"});
    QCOMPARE(outcome.exitCode, 1);
    QVERIFY2(outcome.err.contains("No space left on device"), qPrintable(outcome.err));
}

void TestStandIns::taskkill_data()
{
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
    QTest::newRow("never itself") << 14 << QStringList{"/F", "/IM", "taskkill"} << 128 << false << ""
                                  << "ERROR: The process \"taskkill\" not found.\n";
    QTest::newRow("without /F") << 14 << QStringList{"/IM", "{target}"} << 1 << false << "" << "*";
    QTest::newRow("without /IM") << 14 << QStringList{"/F"} << 1 << false << "" << "*";
    QTest::newRow("/IM without a name") << 14 << QStringList{"/F", "/IM"} << 1 << false << "" << "*";
    QTest::newRow("unknown option") << 14 << QStringList{"/F", "/T", "/IM", "{target}"} << 1 << false << "" << "*";
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
        text->replace("{target}", name).replace("{pid}", pid).replace("{prefix}", name.left(name.size() - 1));
    }
    arguments.replaceInStrings("{target}", name);
    arguments.replaceInStrings("{TARGET}", name.toUpper());
    arguments.replaceInStrings("{prefix}", name.left(name.size() - 1));

    const Outcome outcome = runTool("taskkill", arguments);
    QCOMPARE(outcome.exitCode, exitCode);
    QCOMPARE(outcome.out, expectedOut);
    if (expectedErr == "*")
        QVERIFY(outcome.err.startsWith("ERROR: "));
    else
        QCOMPARE(outcome.err, expectedErr);

    QCOMPARE(target.waitForFinished(targetEnded ? 5000 : 200), targetEnded);
    if (targetEnded)
        QCOMPARE(target.exitStatus(), QProcess::CrashExit);
    if (nameLength > 15)
        QCOMPARE(sibling.state(), QProcess::Running);
    target.kill();
    sibling.kill();
    target.waitForFinished();
    sibling.waitForFinished();
}

QTEST_GUILESS_MAIN(TestStandIns)
#include "tst_standins.moc"
