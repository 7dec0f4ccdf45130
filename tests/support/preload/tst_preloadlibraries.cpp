// The LD_PRELOAD libraries, loaded into fsops (one file-system call per argument, one result line
// per call): what each rule of windowsrules refuses and what it still lets through.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {

QString binDir()
{
    return qEnvironmentVariable("UPDATER_BIN_DIR", QCoreApplication::applicationDirPath());
}

QString library(const QString &name)
{
    return QDir(binDir()).filePath(QStringLiteral("../lib/lib%1.so").arg(name));
}

QStringList expanded(QStringList items, const QString &dir)
{
    for (QString &item : items)
        item.replace(QStringLiteral("{d}"), dir);
    return items;
}

void writeFile(const QString &path, const QByteArray &content = "x\n")
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

void startFsops(QProcess *process, const QString &dir, const QString &preload, const QStringList &environment,
                const QStringList &calls)
{
    QProcessEnvironment variables = QProcessEnvironment::systemEnvironment();
    variables.insert(QStringLiteral("LD_PRELOAD"), library(preload));
    for (const QString &setting : environment)
        variables.insert(setting.section(QLatin1Char('='), 0, 0), setting.section(QLatin1Char('='), 1));
    process->setProcessEnvironment(variables);
    process->setWorkingDirectory(dir);
    process->start(QDir(binDir()).filePath(QStringLiteral("fsops")), calls);
}

QStringList outputLines(QProcess *process)
{
    return QString::fromUtf8(process->readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// Word number `field` of every line of a file.
QStringList fields(const QString &path, int field)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList words;
    for (const QString &line : QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        words << line.section(QLatin1Char(' '), field, field);
    return words;
}

} // namespace

class TestPreloadLibraries : public QObject
{
    Q_OBJECT

private slots:
    void windowsRules_data();
    void windowsRules();
};

void TestPreloadLibraries::windowsRules_data()
{
    QTest::addColumn<QStringList>("environment");
    QTest::addColumn<QStringList>("calls");
    QTest::addColumn<QStringList>("results");
    QTest::addColumn<QStringList>("loggedRules");

    const QString image = QStringLiteral("WINDOWS_RULES_RUNNING_IMAGES={d}/img/app.exe");
    QTest::newRow("running image: no unlink, write or truncation; reading and renaming are fine")
        << QStringList{image}
        << QStringList{"unlink", "img/app.exe", "open-write", "img/app.exe", "truncate", "img/app.exe",
                       "open-read", "img/app.exe", "rename", "img/app.exe", "moved.exe", "unlink", "moved.exe",
                       "rename", "plain.txt", "moved.exe", "unlink", "plain2.txt"}
        << QStringList{"EACCES", "EACCES", "EACCES", "ok", "ok", "EACCES", "EACCES", "ok"}
        << QStringList{"running-image", "running-image", "running-image", "running-image", "running-image"};
    QTest::newRow("an image that appears later is one from then on")
        << QStringList{QStringLiteral("WINDOWS_RULES_RUNNING_IMAGES={d}/late.exe")}
        << QStringList{"create", "late.exe", "new", "rename", "late.exe", "late2.exe", "unlink", "late2.exe"}
        << QStringList{"ok", "ok", "EACCES"} << QStringList{"running-image"};
    QTest::newRow("a directory holding an image at any depth stays; its other entries move")
        << QStringList{QStringLiteral("WINDOWS_RULES_RUNNING_IMAGES={d}/img/lib/deep.dll")}
        << QStringList{"rename", "img", "img2", "rename", "img/lib", "lib2", "rename", "img/other.txt", "other.txt",
                       "rename", "plain.txt", "img/plain.txt", "rename", "d", "d2"}
        << QStringList{"EACCES", "EACCES", "ok", "ok", "ok"} << QStringList{"locked-dir", "locked-dir"};
    QTest::newRow("locked directory and its parents stay; inside, entries move and are replaced")
        << QStringList{QStringLiteral("WINDOWS_RULES_LOCKED_DIRS={d}/a/locked")}
        << QStringList{"rename", "a/locked", "x", "rmdir", "a/locked", "rename", "a", "b", "rename", "empty",
                       "a/locked", "rename", "plain.txt", "a/locked/p", "rename", "a/locked/p", "a/locked/q",
                       "rename", "plain2.txt", "a/locked/q", "rmdir", "empty"}
        << QStringList{"EACCES", "EACCES", "EACCES", "EACCES", "ok", "ok", "ok", "ok"}
        << QStringList{"locked-dir", "locked-dir", "locked-dir", "locked-dir"};
    QTest::newRow("the working directory and its parents stay")
        << QStringList{}
        << QStringList{"cd", "d/sub", "rename", "{d}/d/sub/f", "{d}/f", "rename", "{d}/d", "{d}/d2", "rmdir",
                       "{d}/d/sub", "rename", "{d}/a", "{d}/a2"}
        << QStringList{"ok", "ok", "EACCES", "EACCES", "ok"} << QStringList{"locked-dir", "locked-dir"};
    QTest::newRow("held file: the first two changes fail with EBUSY, then it is free")
        << QStringList{QStringLiteral("WINDOWS_RULES_HELD={d}/plain.txt=2")}
        << QStringList{"open-write", "plain.txt", "rename", "plain2.txt", "plain.txt", "open-read", "plain.txt",
                       "rename", "plain.txt", "p", "unlink", "p"}
        << QStringList{"EBUSY", "EBUSY", "ok", "ok", "ok"} << QStringList{"held", "held"};
    QTest::newRow("read-only directory cannot be removed until it is writable")
        << QStringList{} << QStringList{"rmdir", "ro", "chmod", "ro", "755", "rmdir", "ro"}
        << QStringList{"EACCES", "ok", "ok"} << QStringList{"read-only-dir"};
    QTest::newRow("nothing configured: what Linux allows")
        << QStringList{}
        << QStringList{"rename", "img", "img2", "unlink", "img2/app.exe", "rename", "a", "a2", "rmdir", "empty",
                       "create", "plain.txt", "y"}
        << QStringList{"ok", "ok", "ok", "ok", "ok"} << QStringList{};
}

void TestPreloadLibraries::windowsRules()
{
    QFETCH(QStringList, environment);
    QFETCH(QStringList, calls);
    QFETCH(QStringList, results);
    QFETCH(QStringList, loggedRules);

    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QString d = temp.path();
    for (const char *file : {"img/app.exe", "img/lib/deep.dll", "img/other.txt", "plain.txt", "plain2.txt",
                             "d/sub/f"})
        writeFile(QDir(d).filePath(QLatin1String(file)));
    for (const char *dir : {"a/locked", "empty", "ro"})
        QVERIFY(QDir(d).mkpath(QLatin1String(dir)));
    QVERIFY(QFile::setPermissions(QDir(d).filePath(QStringLiteral("ro")),
                                  QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::ExeGroup));

    const QString log = QDir(d).filePath(QStringLiteral("rules.log"));
    QProcess process;
    startFsops(&process, d, QStringLiteral("windowsrules"),
               expanded(environment, d) << QStringLiteral("WINDOWS_RULES_LOG=") + log, expanded(calls, d));
    QVERIFY(process.waitForFinished(30000));
    QCOMPARE(process.exitCode(), 0);
    QCOMPARE(outputLines(&process), results);
    QCOMPARE(fields(log, 0), loggedRules);
}

QTEST_GUILESS_MAIN(TestPreloadLibraries)
#include "tst_preloadlibraries.moc"
