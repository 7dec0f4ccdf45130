// The release tool as a publisher runs it: the real bin/orvalink-release in a child process.
#include "source/manifestparser.h"
#include "tools/release/deltapublisher.h"

#include "testfiles.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct RunResult
{
    int exitCode = -1;
    QString standardOutput;
    QString standardError;
};

QString toolPath()
{
    return qEnvironmentVariable("UPDATER_BIN_DIR") + QStringLiteral("/orvalink-release");
}

RunResult runTool(const QStringList &arguments, const QStringList &environment = {})
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString &assignment : environment)
        env.insert(assignment.section(QLatin1Char('='), 0, 0),
                   assignment.section(QLatin1Char('='), 1));
    process.setProcessEnvironment(env);
    process.start(toolPath(), arguments);
    RunResult result;
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
        return result;
    result.exitCode = process.exitCode();
    result.standardOutput = QString::fromUtf8(process.readAllStandardOutput());
    result.standardError = QString::fromUtf8(process.readAllStandardError());
    return result;
}

QStringList releaseArguments(const QString &payload, const QString &out)
{
    return {QStringLiteral("--payload"),
            payload,
            QStringLiteral("--version"),
            QStringLiteral("3.0.0"),
            QStringLiteral("--package-url"),
            QStringLiteral("https://updates.example/3.0.0/package.zip"),
            QStringLiteral("--out"),
            out};
}

bool writeFile(const QString &path, const QByteArray &bytes, mode_t mode = 0644)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return false;
    file.close();
    return ::chmod(QFile::encodeName(path).constData(), mode) == 0;
}

bool makeLink(const QString &target, const QString &linkPath)
{
    QDir().mkpath(QFileInfo(linkPath).path());
    return ::symlink(QFile::encodeName(target).constData(), QFile::encodeName(linkPath).constData())
           == 0;
}

// A payload with what a real release holds: nested folders, an executable, a private file, a
// hidden file and a name outside ASCII.
bool makeSamplePayload(const QString &root)
{
    return writeFile(root + QStringLiteral("/Orvalink.exe"), QByteArray("MZ fake client\n"), 0755)
           && writeFile(root + QStringLiteral("/Core.exe"), QByteArray(20000, 'c'), 0755)
           && writeFile(root + QStringLiteral("/lib/libcore.so"), QByteArray("core library"), 0644)
           && writeFile(root + QStringLiteral("/lib/keys/private.pem"), QByteArray("secret"), 0600)
           && writeFile(root + QStringLiteral("/.version"), QByteArray("3.0.0\n"), 0644)
           && writeFile(root + QStringLiteral("/docs/Справка.txt"), QByteArray("текст\n"), 0644)
           && ::chmod(QFile::encodeName(root + QStringLiteral("/lib/keys")).constData(), 0750) == 0;
}

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList directoryEntries(const QString &path)
{
    return QDir(path).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

// chattr +i on a directory, undone however the test ends.
class ImmutableGuard
{
public:
    explicit ImmutableGuard(const QString &path)
        : m_path(path)
    {
        m_active = QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("+i"), m_path}) == 0;
    }
    ~ImmutableGuard()
    {
        if (m_active)
            QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), m_path});
    }
    bool isActive() const { return m_active; }

private:
    QString m_path;
    bool m_active = false;
};

} // namespace

class TestReleaseTool : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void sameBytesEveryTime_data();
    void sameBytesEveryTime();
    void listedEntries_data();
    void listedEntries();
    void unpackedTreeMatchesPayload();
    void manifestDescribesPackage_data();
    void manifestDescribesPackage();
    void links_data();
    void links();
    void badInputPublishesNothing_data();
    void badInputPublishesNothing();
    void republishReplacesRelease();
    void deltaCheckRefusesDamage_data();
    void deltaCheckRefusesDamage();
    void signature_data();
    void signature();

private:
    QTemporaryDir m_fixture;
    QString m_payload;
    QString m_out;
};

void TestReleaseTool::initTestCase()
{
    QVERIFY2(QFileInfo(toolPath()).isExecutable(), qPrintable(toolPath()));
    ::umask(022);
    QVERIFY(m_fixture.isValid());
    m_payload = m_fixture.filePath(QStringLiteral("payload"));
    m_out = m_fixture.filePath(QStringLiteral("out"));
    QVERIFY(makeSamplePayload(m_payload));
    const RunResult result = runTool(releaseArguments(m_payload, m_out));
    QVERIFY2(result.exitCode == 0, qPrintable(result.standardError));
}

void TestReleaseTool::sameBytesEveryTime_data()
{
    QTest::addColumn<QStringList>("secondEnvironment");
    QTest::addColumn<bool>("touchPayload");
    QTest::addColumn<bool>("changeContent");
    QTest::addColumn<bool>("expectSame");

    QTest::newRow("run again") << QStringList() << false << false << true;
    QTest::newRow("other time zone")
        << QStringList{QStringLiteral("TZ=Pacific/Kiritimati")} << false << false << true;
    QTest::newRow("C locale") << QStringList{QStringLiteral("LC_ALL=C"), QStringLiteral("LANG=C")}
                              << false << false << true;
    QTest::newRow("files touched") << QStringList() << true << false << true;
    QTest::newRow("content changed") << QStringList() << false << true << false;
}

void TestReleaseTool::sameBytesEveryTime()
{
    QFETCH(QStringList, secondEnvironment);
    QFETCH(bool, touchPayload);
    QFETCH(bool, changeContent);
    QFETCH(bool, expectSame);

    QTemporaryDir dir;
    const QString payload = dir.filePath(QStringLiteral("payload"));
    QVERIFY(makeSamplePayload(payload));
    const RunResult first =
        runTool(releaseArguments(payload, dir.filePath(QStringLiteral("first"))));
    QVERIFY2(first.exitCode == 0, qPrintable(first.standardError));

    if (touchPayload) {
        QProcess::execute(QStringLiteral("touch"),
                          {QStringLiteral("-d"), QStringLiteral("2031-05-06 07:08:09"),
                           payload + QStringLiteral("/Core.exe"),
                           payload + QStringLiteral("/lib")});
    }
    if (changeContent)
        QVERIFY(writeFile(payload + QStringLiteral("/lib/libcore.so"), QByteArray("core library!"),
                          0644));

    const RunResult second = runTool(
        releaseArguments(payload, dir.filePath(QStringLiteral("second"))), secondEnvironment);
    QVERIFY2(second.exitCode == 0, qPrintable(second.standardError));
    const QByteArray a = fileBytes(dir.filePath(QStringLiteral("first/package.zip")));
    const QByteArray b = fileBytes(dir.filePath(QStringLiteral("second/package.zip")));
    QVERIFY(!a.isEmpty());
    QCOMPARE(a == b, expectSame);
}

void TestReleaseTool::listedEntries_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("linkTarget");

    QTest::newRow("executable") << "Orvalink.exe"
                                << "-rwxr-xr-x"
                                << "";
    QTest::newRow("plain file") << "lib/libcore.so"
                                << "-rw-r--r--"
                                << "";
    QTest::newRow("private file") << "lib/keys/private.pem"
                                  << "-rw-------"
                                  << "";
    QTest::newRow("restricted folder") << "lib/keys/"
                                       << "drwxr-x---"
                                       << "";
    QTest::newRow("hidden file") << ".version"
                                 << "-rw-r--r--"
                                 << "";
    QTest::newRow("Cyrillic name") << "docs/Справка.txt"
                                   << "-rw-r--r--"
                                   << "";
}

void TestReleaseTool::listedEntries()
{
    QFETCH(QString, name);
    QFETCH(QString, mode);
    QFETCH(QString, linkTarget);

    QProcess bsdtar;
    bsdtar.start(QStringLiteral("bsdtar"),
                 {QStringLiteral("-tvf"), m_out + QStringLiteral("/package.zip")});
    if (!bsdtar.waitForStarted())
        QSKIP("bsdtar is not installed");
    QVERIFY(bsdtar.waitForFinished());
    QCOMPARE(bsdtar.exitCode(), 0);

    // "perm links owner group size month day year name[ -> target]"
    const QStringList lines =
        QString::fromUtf8(bsdtar.readAllStandardOutput()).split(QLatin1Char('\n'));
    const QRegularExpression row(QStringLiteral(
        R"(^(\S+)\s+\d+\s+(\S+)\s+(\S+)\s+\d+\s+\S+\s+\d+\s+\d+\s+(.+?)(?: -> (.+))?$)"));
    for (const QString &line : lines) {
        const QRegularExpressionMatch match = row.match(line);
        if (!match.hasMatch() || match.captured(4) != name)
            continue;
        QCOMPARE(match.captured(1), mode);
        QCOMPARE(match.captured(5), linkTarget);
        QCOMPARE(match.captured(2), QStringLiteral("0")); // no publisher's user name leaks
        return;
    }
    QFAIL(qPrintable(QStringLiteral("%1 is not in the package").arg(name)));
}

void TestReleaseTool::unpackedTreeMatchesPayload()
{
    if (QStandardPaths::findExecutable(QStringLiteral("unzip")).isEmpty())
        QSKIP("unzip is not installed");
    QTemporaryDir dir;
    QProcess unzip;
    unzip.setWorkingDirectory(dir.path());
    unzip.start(QStringLiteral("unzip"),
                {QStringLiteral("-q"), m_out + QStringLiteral("/package.zip")});
    QVERIFY(unzip.waitForFinished());
    QVERIFY2(unzip.exitCode() == 0, unzip.readAllStandardError().constData());

    QStringList pending{QString()};
    int compared = 0;
    while (!pending.isEmpty()) {
        const QString relative = pending.takeFirst();
        const QString original = m_payload + QLatin1Char('/') + relative;
        const QString unpacked = dir.path() + QLatin1Char('/') + relative;
        QCOMPARE(directoryEntries(unpacked), directoryEntries(original));
        for (const QString &name : directoryEntries(original)) {
            const QFileInfo source(original + QLatin1Char('/') + name);
            const QFileInfo copy(unpacked + QLatin1Char('/') + name);
            const QString child = relative.isEmpty() ? name : relative + QLatin1Char('/') + name;
            if (source.isDir())
                pending.append(child);
            else
                QVERIFY2(fileBytes(copy.filePath()) == fileBytes(source.filePath()),
                         qPrintable(child));
            QCOMPARE(copy.permissions(), source.permissions());
            ++compared;
        }
    }
    QCOMPARE(compared, 9);
}

void TestReleaseTool::manifestDescribesPackage_data()
{
    QTest::addColumn<QStringList>("extraArguments");
    QTest::addColumn<QByteArray>("notes");
    QTest::addColumn<QString>("channel");
    QTest::addColumn<bool>("mandatory");
    QTest::addColumn<QString>("minimumVersion");
    QTest::addColumn<int>("days"); // until the manifest expires

    QTest::newRow("defaults") << QStringList() << QByteArray() << "stable" << false << "" << 90;
    QTest::newRow("every option") << QStringList{QStringLiteral("--channel"),
                                                 QStringLiteral(" Migration "),
                                                 QStringLiteral("--mandatory"),
                                                 QStringLiteral("--minimum-supported-version"),
                                                 QStringLiteral("2.4.0"),
                                                 QStringLiteral("--expires-in"),
                                                 QStringLiteral("7")}
                                  << QByteArray("  Исправления:\n- быстрее\n\n") << "migration"
                                  << true << "2.4.0" << 7;
}

void TestReleaseTool::manifestDescribesPackage()
{
    QFETCH(QStringList, extraArguments);
    QFETCH(QByteArray, notes);
    QFETCH(QString, channel);
    QFETCH(bool, mandatory);
    QFETCH(QString, minimumVersion);

    QTemporaryDir dir;
    QStringList arguments =
        releaseArguments(m_payload, dir.filePath(QStringLiteral("out"))) + extraArguments;
    arguments[3] = QStringLiteral(" 3.0.1 ");
    if (!notes.isEmpty()) {
        QVERIFY(writeFile(dir.filePath(QStringLiteral("notes.txt")), notes));
        arguments << QStringLiteral("--release-notes") << dir.filePath(QStringLiteral("notes.txt"));
    }
    const RunResult result = runTool(arguments);
    QVERIFY2(result.exitCode == 0, qPrintable(result.standardError));

    Updater::UpdateManifest manifest;
    QString error;
    QVERIFY2(Updater::parseUpdateManifest(
                 fileBytes(dir.filePath(QStringLiteral("out/manifest.json"))), &manifest, &error),
             qPrintable(error));
    QCOMPARE(manifest.version, QStringLiteral("3.0.1"));
    QCOMPARE(manifest.channel, channel);
    QCOMPARE(manifest.mandatory, mandatory);
    QCOMPARE(manifest.minimumSupportedVersion, minimumVersion);
    QCOMPARE(manifest.releaseNotes, QString::fromUtf8(notes));
    QCOMPARE(manifest.packageUrl, QStringLiteral("https://updates.example/3.0.0/package.zip"));
    QCOMPARE(manifest.packageFormat, QStringLiteral("zip"));
    const QByteArray package = fileBytes(dir.filePath(QStringLiteral("out/package.zip")));
    QCOMPARE(manifest.packageHash.toLatin1(),
             QCryptographicHash::hash(package, QCryptographicHash::Sha256).toHex());
    QCOMPARE(manifest.packageSize, qint64(package.size()));
    QFETCH(int, days);
    QVERIFY(qAbs(manifest.expires.secsTo(QDateTime::currentDateTimeUtc().addDays(days))) < 60);
    QVERIFY(result.standardOutput.contains(manifest.packageHash));
}

void TestReleaseTool::links_data()
{
    QTest::addColumn<QString>("linkName");
    QTest::addColumn<QString>("target");

    // The updater refuses a package that holds any link, even one that stays inside.
    QTest::newRow("sibling file") << "bin/tool"
                                  << "../data/file";
    QTest::newRow("folder inside") << "alias"
                                   << "data";
    QTest::newRow("absolute") << "bin/tool"
                              << "/etc/hostname";
    QTest::newRow("climbs out") << "bin/tool"
                                << "../../outside";
    QTest::newRow("dangling") << "bin/tool"
                              << "../data/missing";
}

void TestReleaseTool::links()
{
    QFETCH(QString, linkName);
    QFETCH(QString, target);

    QTemporaryDir dir;
    const QString payload = dir.filePath(QStringLiteral("payload"));
    QVERIFY(writeFile(payload + QStringLiteral("/data/file"), "data"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("outside")), "outside"));
    QVERIFY(writeFile(payload + QStringLiteral("/bin/keep"), "keep"));
    QVERIFY(makeLink(target, payload + QLatin1Char('/') + linkName));

    const QString out = dir.filePath(QStringLiteral("out"));
    const RunResult result = runTool(releaseArguments(payload, out));
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(result.standardError.contains(linkName), qPrintable(result.standardError));
    QVERIFY(!QFileInfo::exists(out));
}

void TestReleaseTool::badInputPublishesNothing_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QStringList>("replace"); // pairs: option, value ("" removes the option)
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");

    QTest::newRow("missing payload")
        << "" << QStringList{QStringLiteral("--payload"), QStringLiteral("{dir}/nothing")} << 1
        << "does not exist";
    QTest::newRow("payload is a file")
        << "" << QStringList{QStringLiteral("--payload"), QStringLiteral("{dir}/notes.txt")} << 1
        << "not a directory";
    QTest::newRow("empty payload") << "empty payload" << QStringList() << 1 << "is empty";
    QTest::newRow("single folder") << "single folder" << QStringList() << 1 << "--top-folder";
    QTest::newRow("fifo") << "fifo" << QStringList() << 1 << "neither a file";
    QTest::newRow("letter case twins") << "case twins" << QStringList() << 1 << "letter case";
    QTest::newRow("Windows name") << "windows name" << QStringList() << 1 << "Windows";
    // Names that the updater on Windows would take for its own special ones.
    QTest::newRow("settings folder in other letter case")
        << "file:Config/configs.json" << QStringList() << 1 << "the updater would take";
    QTest::newRow("short name alias")
        << "file:lib/LIBCOR~1.SO" << QStringList() << 1 << "short name";
    QTest::newRow("working entry's name")
        << "file:.orvalink-shipped-profiles/p" << QStringList() << 1 << "working entries";
    QTest::newRow("blank version")
        << "" << QStringList{QStringLiteral("--version"), QStringLiteral("  ")} << 2 << "--version";
    QTest::newRow("no version") << "" << QStringList{QStringLiteral("--version"), QString()} << 2
                                << "--version";
    QTest::newRow("space in the version")
        << "" << QStringList{QStringLiteral("--version"), QStringLiteral("3.0 beta")} << 2
        << "white space";
    QTest::newRow("no output") << "" << QStringList{QStringLiteral("--out"), QString()} << 2
                               << "--out";
    QTest::newRow("relative URL") << ""
                                  << QStringList{QStringLiteral("--package-url"),
                                                 QStringLiteral("package.zip")}
                                  << 2 << "--package-url";
    QTest::newRow("no expiry") << ""
                               << QStringList{QStringLiteral("--expires-in"), QStringLiteral("0")}
                               << 2 << "--expires-in";
    QTest::newRow("unknown channel")
        << "" << QStringList{QStringLiteral("--channel"), QStringLiteral("beta")} << 2
        << "--channel";
    QTest::newRow("notes missing")
        << "" << QStringList{QStringLiteral("--release-notes"), QStringLiteral("{dir}/none.txt")}
        << 1 << "release notes";
    QTest::newRow("notes not UTF-8")
        << "latin1 notes"
        << QStringList{QStringLiteral("--release-notes"), QStringLiteral("{dir}/notes.txt")} << 1
        << "UTF-8";
    QTest::newRow("output inside payload")
        << "" << QStringList{QStringLiteral("--out"), QStringLiteral("{dir}/payload/out")} << 1
        << "inside the payload";
    QTest::newRow("output is a file")
        << "" << QStringList{QStringLiteral("--out"), QStringLiteral("{dir}/notes.txt")} << 1
        << "not a directory";
    QTest::newRow("output not writable")
        << "immutable output" << QStringList() << 1 << "Cannot write";
    QTest::newRow("earlier release not a release folder")
        << "" << QStringList{QStringLiteral("--previous"), QStringLiteral("{dir}/payload")} << 1
        << "holds no manifest.json";
    QTest::newRow("earlier version names no file")
        << ""
        << QStringList{QStringLiteral("--previous"), QStringLiteral("{dir}/payload"),
                       QStringLiteral("--previous-version"), QStringLiteral("2.0/x")}
        << 1 << "cannot name a file";
    QTest::newRow("earlier release of the new version")
        << ""
        << QStringList{QStringLiteral("--previous"), QStringLiteral("{dir}/payload"),
                       QStringLiteral("--previous-version"), QStringLiteral("3.0.0")}
        << 1 << "has the new version";
    QTest::newRow("earlier version without its release")
        << "" << QStringList{QStringLiteral("--previous-version"), QStringLiteral("2.0")} << 2
        << "must follow its --previous";
}

void TestReleaseTool::badInputPublishesNothing()
{
    QFETCH(QString, setup);
    QFETCH(QStringList, replace);
    QFETCH(int, exitCode);
    QFETCH(QString, message);

    QTemporaryDir dir;
    const QString payload = dir.filePath(QStringLiteral("payload"));
    const QString out = dir.filePath(QStringLiteral("out"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("notes.txt")),
                      setup == QLatin1String("latin1 notes") ? QByteArray("Caf\xe9\n")
                                                             : QByteArray("notes")));
    if (setup == QLatin1String("empty payload")) {
        QVERIFY(QDir().mkpath(payload));
    } else if (setup == QLatin1String("single folder")) {
        QVERIFY(writeFile(payload + QStringLiteral("/Orvalink/Orvalink.exe"), "exe"));
        QVERIFY(writeFile(payload + QStringLiteral("/.hidden"), "not counted on Linux"));
    } else {
        QVERIFY(makeSamplePayload(payload));
    }
    if (setup == QLatin1String("fifo"))
        QCOMPARE(
            ::mkfifo(QFile::encodeName(payload + QStringLiteral("/lib/pipe")).constData(), 0644),
            0);
    if (setup == QLatin1String("case twins"))
        QVERIFY(writeFile(payload + QStringLiteral("/LIB/other"), "x"));
    if (setup == QLatin1String("windows name"))
        QVERIFY(writeFile(payload + QStringLiteral("/docs/what?.txt"), "x"));
    if (setup.startsWith(QLatin1String("file:")))
        QVERIFY(writeFile(payload + QLatin1Char('/') + setup.mid(5), "x"));

    // A release already published there must survive the failed run untouched.
    QVERIFY(writeFile(out + QStringLiteral("/package.zip"), "old package"));
    QVERIFY(writeFile(out + QStringLiteral("/manifest.json"), "old manifest"));
    std::unique_ptr<ImmutableGuard> immutable;
    if (setup == QLatin1String("immutable output")) {
        immutable = std::make_unique<ImmutableGuard>(out);
        if (!immutable->isActive())
            QSKIP("chattr +i is not available here");
    }

    QStringList arguments = releaseArguments(payload, out);
    for (int i = 0; i + 1 < replace.size(); i += 2) {
        const int at = arguments.indexOf(replace.at(i));
        QString value = replace.at(i + 1);
        value.replace(QStringLiteral("{dir}"), dir.path());
        if (at < 0)
            arguments << replace.at(i) << value;
        else if (value.isEmpty())
            arguments.remove(at, 2);
        else
            arguments[at + 1] = value;
    }

    const RunResult result = runTool(arguments);
    QCOMPARE(result.exitCode, exitCode);
    QVERIFY2(result.standardError.contains(message), qPrintable(result.standardError));
    QVERIFY(result.standardOutput.isEmpty());
    QCOMPARE(directoryEntries(out),
             (QStringList{QStringLiteral("manifest.json"), QStringLiteral("package.zip")}));
    QCOMPARE(fileBytes(out + QStringLiteral("/package.zip")), QByteArray("old package"));
    QCOMPARE(fileBytes(out + QStringLiteral("/manifest.json")), QByteArray("old manifest"));
    QVERIFY(!QFileInfo::exists(payload + QStringLiteral("/out")));
}

void TestReleaseTool::republishReplacesRelease()
{
    QTemporaryDir dir;
    const QString payload = dir.filePath(QStringLiteral("payload"));
    const QString out = dir.filePath(QStringLiteral("out"));
    QVERIFY(writeFile(payload + QStringLiteral("/a.txt"), "first"));
    QCOMPARE(runTool(releaseArguments(payload, out)).exitCode, 0);
    QVERIFY(writeFile(payload + QStringLiteral("/b.txt"), "second"));
    const RunResult second = runTool(releaseArguments(payload, out));
    QVERIFY2(second.exitCode == 0, qPrintable(second.standardError));

    // Only the published files, readable by a web server that runs as another user.
    QCOMPARE(directoryEntries(out),
             (QStringList{QStringLiteral("manifest.json"), QStringLiteral("package.zip"),
                          QStringLiteral("package.zpack")}));
    for (const QString &name : directoryEntries(out))
        QVERIFY(QFileInfo(out + QLatin1Char('/') + name)
                    .permissions()
                    .testFlag(QFileDevice::ReadOther));
    Updater::UpdateManifest manifest;
    QVERIFY(Updater::parseUpdateManifest(fileBytes(out + QStringLiteral("/manifest.json")),
                                         &manifest, nullptr));
    QCOMPARE(manifest.packageHash.toLatin1(),
             QCryptographicHash::hash(fileBytes(out + QStringLiteral("/package.zip")),
                                      QCryptographicHash::Sha256)
                 .toHex());
}

// The differential update's files checked after they are written, with one of them damaged
// meanwhile: a patch that no longer makes its file must end the run.
void TestReleaseTool::deltaCheckRefusesDamage_data()
{
    QTest::addColumn<QString>("damaged"); // a written file, or the earlier release's file
    QTest::addColumn<QString>("message");

    QTest::newRow("nothing") << QString() << QString();
    QTest::newRow("the patch file") << ".package-from-2.0.zpatch"
                                    << "is not what was written";
    QTest::newRow("the earlier file a patch applies to")
        << "earlier/Core.exe"
        << "does not reproduce it: the earlier file changed";
    QTest::newRow("a zpack frame") << ".package.zpack"
                                   << "The zpack frame of";
}

void TestReleaseTool::deltaCheckRefusesDamage()
{
    QFETCH(QString, damaged);
    QFETCH(QString, message);

    QTemporaryDir dir;
    const QString earlier = dir.filePath(QStringLiteral("earlier"));
    const QString payload = dir.filePath(QStringLiteral("payload"));
    QByteArray core(200000, Qt::Uninitialized);
    QRandomGenerator(7).fillRange(reinterpret_cast<quint32 *>(core.data()), core.size() / 4);
    QVERIFY(writeFile(earlier + QStringLiteral("/Core.exe"), core));
    core.replace(1000, 5, "patch");
    QVERIFY(writeFile(payload + QStringLiteral("/Core.exe"), core, 0755));
    QVERIFY(writeFile(payload + QStringLiteral("/Orvalink.exe"), "client", 0755));

    using namespace Updater::Release;
    QList<PayloadEntry> entries;
    DeltaPublication publication;
    const QList<ReleaseTree> previous{{QStringLiteral("2.0"), earlier}};
    QString error;
    QVERIFY2(scanPayload(payload, QString(), &entries, &error)
                 && publication.write(entries, QString(), previous,
                                      QStringLiteral("https://u/3.0/package.zip"), dir.path(),
                                      &error),
             qPrintable(error));
    QCOMPARE(publication.delta().patches.size(), 1);

    if (!damaged.isEmpty()) {
        const QStringList written =
            QDir(dir.path())
                .entryList({damaged + QStringLiteral(".*")}, QDir::Files | QDir::Hidden);
        QFile file(dir.filePath(written.value(0, damaged)));
        QVERIFY(file.open(QIODevice::ReadWrite) && file.seek(file.size() / 2));
        const char byte = file.peek(1).at(0);
        QVERIFY(file.write(QByteArray(1, char(byte ^ 0x5a))) == 1);
    }
    const bool passed = publication.check(previous, &error);
    QCOMPARE(passed, message.isEmpty());
    QVERIFY2(error.contains(message), qPrintable(error));
}

void TestReleaseTool::signature_data()
{
    QTest::addColumn<QString>("key");      // "": no --sign; "made": a key made without password
    QTest::addColumn<QString>("password"); // in --sign-password-file; empty: no such option
    QTest::addColumn<QString>("message");  // empty: published

    // keys/encrypted-test.key is minisign's own, with the password "orvalink-test".
    const QString encrypted = QStringLiteral("encrypted-test");
    QTest::newRow("key without password") << QStringLiteral("made") << QString() << QString();
    QTest::newRow("password from a file")
        << encrypted << QStringLiteral("orvalink-test") << QString();
    QTest::newRow("wrong password")
        << encrypted << QStringLiteral("guess") << QStringLiteral("Wrong password");
    QTest::newRow("not signed, the printed command signs") << QString() << QString() << QString();
}

void TestReleaseTool::signature()
{
    QFETCH(QString, key);
    QFETCH(QString, password);
    QFETCH(QString, message);

    QTemporaryDir dir;
    QString keyPath = dir.filePath(QStringLiteral("minisign.key"));
    QString publicKey = dir.filePath(QStringLiteral("minisign.pub"));
    QString output;
    if (key == QLatin1String("made") || key.isEmpty()) {
        QVERIFY2(TestSupport::runCommand(QStringLiteral("minisign"),
                                         {QStringLiteral("-G"), QStringLiteral("-W"),
                                          QStringLiteral("-p"), publicKey, QStringLiteral("-s"),
                                          keyPath},
                                         &output),
                 qPrintable(QStringLiteral("minisign (scripts/install-deps.sh): ") + output));
    } else {
        const QString keys = qEnvironmentVariable("UPDATER_SOURCE_DIR") + "/tests/tools/keys/";
        keyPath = keys + key + QStringLiteral(".key");
        publicKey = keys + key + QStringLiteral(".pub");
    }

    const QString out = dir.filePath(QStringLiteral("out"));
    const QString signature = out + QStringLiteral("/manifest.json.minisig");
    QVERIFY(writeFile(signature, "signature of an earlier release"));
    QStringList arguments = releaseArguments(m_payload, out);
    if (!key.isEmpty())
        arguments << QStringLiteral("--sign") << keyPath;
    if (!password.isEmpty()) {
        QVERIFY(writeFile(dir.filePath(QStringLiteral("password")), password.toUtf8() + '\n'));
        arguments << QStringLiteral("--sign-password-file")
                  << dir.filePath(QStringLiteral("password"));
    }
    const RunResult result = runTool(arguments);
    if (!message.isEmpty()) {
        QCOMPARE(result.exitCode, 1);
        QVERIFY2(result.standardError.contains(message), qPrintable(result.standardError));
        QCOMPARE(directoryEntries(out), QStringList{QStringLiteral("manifest.json.minisig")});
        return;
    }
    QVERIFY2(result.exitCode == 0, qPrintable(result.standardError));

    if (key.isEmpty()) {
        // An earlier release's signature does not stay beside the new manifest.
        QVERIFY(!QFileInfo::exists(signature));
        const QRegularExpression command(QStringLiteral("^  (minisign -S .*)$"),
                                         QRegularExpression::MultilineOption);
        const QString printed = command.match(result.standardOutput).captured(1);
        QVERIFY2(!printed.isEmpty(), qPrintable(result.standardOutput));
        // minisign's default key is MINISIGN_CONFIG_DIR/minisign.key.
        QVERIFY2(
            TestSupport::runCommand(
                QStringLiteral("sh"),
                {QStringLiteral("-c"),
                 QStringLiteral("MINISIGN_CONFIG_DIR='%1' %2 </dev/null").arg(dir.path(), printed)},
                &output),
            qPrintable(output));
    }
    // minisign itself accepts the signature, and the signed comment names the version.
    QVERIFY2(TestSupport::runCommand(QStringLiteral("minisign"),
                                     {QStringLiteral("-V"), QStringLiteral("-p"), publicKey,
                                      QStringLiteral("-m"), out + QStringLiteral("/manifest.json")},
                                     &output),
             qPrintable(output));
    QVERIFY2(QRegularExpression(QStringLiteral("Trusted comment: .*\\bversion:3\\.0\\.0(\\s|$)"))
                 .match(output)
                 .hasMatch(),
             qPrintable(output));
}

QTEST_GUILESS_MAIN(TestReleaseTool)
#include "tst_releasetool.moc"
