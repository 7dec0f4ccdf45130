// The two LD_PRELOAD libraries, loaded into fsops (one file-system call per argument, one result
// line per call): what each rule of windowsrules refuses and what it still lets through, and
// what faultinjection counts and how it fails, kills or pauses the N-th change.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

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

void startFsops(QProcess *process, const QString &dir, const QString &preload,
                const QStringList &environment, const QStringList &calls)
{
    QProcessEnvironment variables = QProcessEnvironment::systemEnvironment();
    variables.insert(QStringLiteral("LD_PRELOAD"), library(preload));
    for (const QString &setting : environment)
        variables.insert(setting.section(QLatin1Char('='), 0, 0),
                         setting.section(QLatin1Char('='), 1));
    process->setProcessEnvironment(variables);
    process->setWorkingDirectory(dir);
    process->start(QDir(binDir()).filePath(QStringLiteral("fsops")), calls);
}

QStringList outputLines(QProcess *process)
{
    return QString::fromUtf8(process->readAllStandardOutput())
        .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// Word number `field` of every line of a file.
QStringList fields(const QString &path, int field)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList words;
    for (const QString &line :
         QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts))
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
    void faultInjection_data();
    void faultInjection();
    void faultInjectionPausesUntilReleased();
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
        << QStringList{"unlink",      "img/app.exe", "open-write",  "img/app.exe", "truncate",
                       "img/app.exe", "open-read",   "img/app.exe", "rename",      "img/app.exe",
                       "moved.exe",   "unlink",      "moved.exe",   "rename",      "plain.txt",
                       "moved.exe",   "unlink",      "plain2.txt"}
        << QStringList{"EACCES", "EACCES", "EACCES", "ok", "ok", "EACCES", "EACCES", "ok"}
        << QStringList{"running-image", "running-image", "running-image", "running-image",
                       "running-image"};
    QTest::newRow("an image that appears later is one from then on")
        << QStringList{QStringLiteral("WINDOWS_RULES_RUNNING_IMAGES={d}/late.exe")}
        << QStringList{"create",   "late.exe",  "new",    "rename",
                       "late.exe", "late2.exe", "unlink", "late2.exe"}
        << QStringList{"ok", "ok", "EACCES"} << QStringList{"running-image"};
    QTest::newRow("a directory holding an image at any depth stays; its other entries move")
        << QStringList{QStringLiteral("WINDOWS_RULES_RUNNING_IMAGES={d}/img/lib/deep.dll")}
        << QStringList{"rename",    "img",           "img2",          "rename",    "img/lib",
                       "lib2",      "rename",        "img/other.txt", "other.txt", "rename",
                       "plain.txt", "img/plain.txt", "rename",        "d",         "d2"}
        << QStringList{"EACCES", "EACCES", "ok", "ok", "ok"}
        << QStringList{"locked-dir", "locked-dir"};
    QTest::newRow("locked directory and its parents stay; inside, entries move and are replaced")
        << QStringList{QStringLiteral("WINDOWS_RULES_LOCKED_DIRS={d}/a/locked")}
        << QStringList{"rename",     "a/locked",   "x",      "rmdir",      "a/locked",   "rename",
                       "a",          "b",          "rename", "empty",      "a/locked",   "rename",
                       "plain.txt",  "a/locked/p", "rename", "a/locked/p", "a/locked/q", "rename",
                       "plain2.txt", "a/locked/q", "rmdir",  "empty"}
        << QStringList{"EACCES", "EACCES", "EACCES", "EACCES", "ok", "ok", "ok", "ok"}
        << QStringList{"locked-dir", "locked-dir", "locked-dir", "locked-dir"};
    QTest::newRow("the working directory and its parents stay")
        << QStringList{}
        << QStringList{"cd",     "d/sub", "rename",    "{d}/d/sub/f", "{d}/f", "rename", "{d}/d",
                       "{d}/d2", "rmdir", "{d}/d/sub", "rename",      "{d}/a", "{d}/a2"}
        << QStringList{"ok", "ok", "EACCES", "EACCES", "ok"}
        << QStringList{"locked-dir", "locked-dir"};
    QTest::newRow("held file: the first two changes fail with EBUSY, then it is free")
        << QStringList{QStringLiteral("WINDOWS_RULES_HELD={d}/plain.txt=2")}
        << QStringList{"open-write", "plain.txt", "rename",    "plain2.txt",
                       "plain.txt",  "open-read", "plain.txt", "rename",
                       "plain.txt",  "p",         "unlink",    "p"}
        << QStringList{"EBUSY", "EBUSY", "ok", "ok", "ok"} << QStringList{"held", "held"};
    QTest::newRow("read-only directory cannot be removed until it is writable")
        << QStringList{} << QStringList{"rmdir", "ro", "chmod", "ro", "755", "rmdir", "ro"}
        << QStringList{"EACCES", "ok", "ok"} << QStringList{"read-only-dir"};
    QTest::newRow("nothing configured: what Linux allows")
        << QStringList{}
        << QStringList{"rename", "img",   "img2",  "unlink", "img2/app.exe", "rename", "a",
                       "a2",     "rmdir", "empty", "create", "plain.txt",    "y"}
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
    for (const char *file :
         {"img/app.exe", "img/lib/deep.dll", "img/other.txt", "plain.txt", "plain2.txt", "d/sub/f"})
        writeFile(QDir(d).filePath(QLatin1String(file)));
    for (const char *dir : {"a/locked", "empty", "ro"})
        QVERIFY(QDir(d).mkpath(QLatin1String(dir)));
    QVERIFY(QFile::setPermissions(QDir(d).filePath(QStringLiteral("ro")),
                                  QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup
                                      | QFile::ExeGroup));

    const QString log = QDir(d).filePath(QStringLiteral("rules.log"));
    QProcess process;
    startFsops(&process, d, QStringLiteral("windowsrules"),
               expanded(environment, d) << QStringLiteral("WINDOWS_RULES_LOG=") + log,
               expanded(calls, d));
    QVERIFY(process.waitForFinished(30000));
    QCOMPARE(process.exitCode(), 0);
    QCOMPARE(outputLines(&process), results);
    QCOMPARE(fields(log, 0), loggedRules);
}

void TestPreloadLibraries::faultInjection_data()
{
    QTest::addColumn<QStringList>("environment");
    QTest::addColumn<QStringList>("calls");
    QTest::addColumn<QStringList>("results");
    QTest::addColumn<int>("count"); // -1: no count file
    QTest::addColumn<QStringList>("tracedCalls");
    QTest::addColumn<bool>("killed");

    const QStringList everyKind{
        "create", "f",         "hello",   "mkdir",  "dd",   "rename", "f",    "dd/f", "link",
        "dd/f",   "dd/g",      "symlink", "f",      "dd/s", "chmod",  "dd/f", "600",  "truncate",
        "dd/f",   "open-read", "dd/g",    "unlink", "dd/g", "rmdir",  "dd"};
    QTest::newRow("count only: each kind of change, the first write of a descriptor")
        << QStringList{} << everyKind
        << QStringList{"ok", "ok", "ok", "ok", "ok", "ok", "ok", "ok", "ok", "ENOTEMPTY"} << 12
        << QStringList{"open", "write",   "fsync", "close",    "mkdir",  "rename",
                       "link", "symlink", "chmod", "truncate", "unlink", "rmdir"}
        << false;
    QTest::newRow("eio: the rename fails and is not made")
        << QStringList{"FAULT_AT=6", "FAULT_MODE=eio"}
        << QStringList{"create", "f", "hello", "mkdir", "dd", "rename", "f", "dd/f", "unlink", "f"}
        << QStringList{"ok", "ok", "EIO", "ok"} << 7
        << QStringList{"open", "write", "fsync", "close", "mkdir", "rename", "unlink"} << false;
    QTest::newRow("enospc at the first write")
        << QStringList{"FAULT_AT=2", "FAULT_MODE=enospc"}
        << QStringList{"create", "f", "hello", "create", "g", "x"} << QStringList{"ENOSPC", "ok"}
        << 6 << QStringList{"open", "write", "open", "write", "fsync", "close"} << false;
    QTest::newRow("eacces") << QStringList{"FAULT_AT=1", "FAULT_MODE=eacces"}
                            << QStringList{"mkdir", "dd", "mkdir", "dd"}
                            << QStringList{"EACCES", "ok"} << 2 << QStringList{"mkdir", "mkdir"}
                            << false;
    QTest::newRow("kill right before the mkdir")
        << QStringList{"FAULT_AT=5", "FAULT_MODE=kill"}
        << QStringList{"create", "f", "hello", "mkdir", "dd"} << QStringList{"ok"} << 5
        << QStringList{"open", "write", "fsync", "close", "mkdir"} << true;
    QTest::newRow("changes outside the roots are not counted")
        << QStringList{"FAULT_ROOTS={d}/in"}
        << QStringList{"mkdir", "in", "mkdir", "out", "create", "in/f", "x"}
        << QStringList{"ok", "ok", "ok"} << 5
        << QStringList{"mkdir", "open", "write", "fsync", "close"} << false;
    QTest::newRow("another program is left alone")
        << QStringList{"FAULT_PROCESS=OrvalinkUpdater", "FAULT_AT=1", "FAULT_MODE=eio"}
        << QStringList{"mkdir", "dd"} << QStringList{"ok"} << -1 << QStringList{} << false;
    QTest::newRow("four threads: every change counted once")
        << QStringList{"FAULT_PROCESS=fsops"} << QStringList{"threads", "4", "{d}"}
        << QStringList{"ok"} << 400 << QStringList{} << false;
}

void TestPreloadLibraries::faultInjection()
{
    QFETCH(QStringList, environment);
    QFETCH(QStringList, calls);
    QFETCH(QStringList, results);
    QFETCH(int, count);
    QFETCH(QStringList, tracedCalls);
    QFETCH(bool, killed);

    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QString d = temp.path();
    const QString countFile = QDir(d).filePath(QStringLiteral("count"));
    const QString trace = QDir(d).filePath(QStringLiteral("trace"));
    QProcess process;
    startFsops(&process, d, QStringLiteral("faultinjection"),
               expanded(environment, d) << QStringLiteral("FAULT_COUNT_FILE=") + countFile
                                        << QStringLiteral("FAULT_TRACE=") + trace,
               expanded(calls, d));
    QVERIFY(process.waitForFinished(30000));
    QCOMPARE(process.exitStatus() == QProcess::CrashExit, killed);
    QCOMPARE(outputLines(&process), results);
    QFile counted(countFile);
    if (count < 0) {
        QVERIFY(!counted.exists());
        return;
    }
    QVERIFY(counted.open(QIODevice::ReadOnly));
    QCOMPARE(counted.readAll().trimmed().toInt(), count);
    if (!tracedCalls.isEmpty())
        QCOMPARE(fields(trace, 1), tracedCalls);
}

void TestPreloadLibraries::faultInjectionPausesUntilReleased()
{
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QString paused = temp.filePath(QStringLiteral("paused"));
    QProcess process;
    startFsops(&process, temp.path(), QStringLiteral("faultinjection"),
               {QStringLiteral("FAULT_AT=1"), QStringLiteral("FAULT_MODE=pause"),
                QStringLiteral("FAULT_PAUSED_FILE=") + paused},
               {QStringLiteral("mkdir"), QStringLiteral("dd")});
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(paused), 10000);
    // Held before the change: the directory is not there, however long we wait.
    QThread::msleep(300);
    QVERIFY(!QFile::exists(temp.filePath(QStringLiteral("dd"))));
    QCOMPARE(process.state(), QProcess::Running);
    QVERIFY(QFile::remove(paused));
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(outputLines(&process), QStringList{QStringLiteral("ok")});
    QVERIFY(QFileInfo(temp.filePath(QStringLiteral("dd"))).isDir());
}

QTEST_GUILESS_MAIN(TestPreloadLibraries)
#include "tst_preloadlibraries.moc"
