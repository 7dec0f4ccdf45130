#include "install/filetree.h"

#include "filesystemfaults.h"
#include "testfiles.h"
#include "treesnapshot.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

using namespace Updater;
using namespace TestSupport;

class TestFileTree : public QObject
{
    Q_OBJECT

private slots:
    void removePath_data();
    void removePath();
    void removePathStaysOnItsFileSystem();
    void renameWithRetries_data();
    void renameWithRetries();
    void renameWithRetries_undeletableTarget();
    void copyRecursively_data();
    void copyRecursively();
    void copyOnto_data();
    void copyOnto();
    void copyReplacing_data();
    void copyReplacing();
};

namespace {

// A directory outside the trees under test, which no operation may touch.
QString makeOutside(const QDir &base)
{
    writeFile(base.filePath(QStringLiteral("outside/keep.txt")), "keep");
    return base.filePath(QStringLiteral("outside"));
}

} // namespace

void TestFileTree::removePath_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("nothing there") << "missing";
    QTest::newRow("plain file") << "file";
    QTest::newRow("tree with hidden entries") << "hidden";
    QTest::newRow("link to a folder outside") << "link";
    QTest::newRow("dangling link") << "dangling";
    QTest::newRow("tree holding a link outside and a loop") << "inner-links";
}

void TestFileTree::removePath()
{
    QFETCH(QString, kind);
    QTemporaryDir tmp;
    const QDir base(tmp.path());
    const QString outside = makeOutside(base);
    const auto outsideBefore = snapshot(outside);
    const QString path = base.filePath(QStringLiteral("victim"));

    if (kind == QLatin1String("file")) {
        writeFile(path, "x");
    } else if (kind == QLatin1String("hidden")) {
        writeFile(path + QStringLiteral("/.h/.deep"), "x");
        writeFile(path + QStringLiteral("/sub/.dot"), "x");
    } else if (kind == QLatin1String("link")) {
        QVERIFY(makeLink(outside, path));
    } else if (kind == QLatin1String("dangling")) {
        QVERIFY(makeLink(base.filePath(QStringLiteral("gone")), path));
    } else if (kind == QLatin1String("inner-links")) {
        writeFile(path + QStringLiteral("/a.txt"), "x");
        QVERIFY(makeLink(QStringLiteral("../../outside"), path + QStringLiteral("/out")));
        QVERIFY(makeLink(QStringLiteral("."), path + QStringLiteral("/loop")));
    }

    QVERIFY(Updater::removePath(path));
    QVERIFY(!entryExists(path));
    QCOMPARE(snapshot(outside), outsideBefore);
}

void TestFileTree::removePathStaysOnItsFileSystem()
{
    // A volume mounted inside the tree (a config on its own disk) keeps everything on it: the
    // removal fails there instead of emptying the volume.
    QTemporaryDir tmp;
    const QString tree = tmp.filePath(QStringLiteral("backup"));
    writeFile(tree + QStringLiteral("/app.dll"), "x");
    FileSystemFaults faults;
    if (!faults.mountTmpfs(tree + QStringLiteral("/config"), QStringLiteral("1M")))
        QSKIP("mount is not available here");
    writeFile(tree + QStringLiteral("/config/configs.json"), "settings");

    QVERIFY(!Updater::removePath(tree));
    QCOMPARE(readFile(tree + QStringLiteral("/config/configs.json")), QByteArray("settings"));
    QVERIFY(!entryExists(tree + QStringLiteral("/app.dll")));
}

void TestFileTree::renameWithRetries_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("attempts");
    QTest::addColumn<bool>("moved");
    QTest::newRow("onto an existing file") << "file" << 2 << true;
    QTest::newRow("onto an existing directory") << "dir" << 2 << true;
    QTest::newRow("a link moves as a link") << "link" << 2 << true;
    QTest::newRow("a dangling link moves too") << "dangling" << 2 << true;
    QTest::newRow("no attempts") << "file" << 0 << false;
    QTest::newRow("missing source leaves the target") << "missing" << 2 << false;
}

void TestFileTree::renameWithRetries()
{
    QFETCH(QString, kind);
    QFETCH(int, attempts);
    QFETCH(bool, moved);
    QTemporaryDir tmp;
    const QDir base(tmp.path());
    const QString outside = makeOutside(base);
    const QString source = base.filePath(QStringLiteral("source"));
    const QString target = base.filePath(QStringLiteral("target"));
    if (kind == QLatin1String("link"))
        QVERIFY(makeLink(QStringLiteral("outside"), source));
    else if (kind == QLatin1String("dangling"))
        QVERIFY(makeLink(QStringLiteral("gone"), source));
    else if (kind != QLatin1String("missing"))
        writeFile(source + QStringLiteral("/new.txt"), "new");
    if (kind == QLatin1String("file"))
        writeFile(target, "old");
    else
        writeFile(target + QStringLiteral("/old.txt"), "old");
    const auto sourceBefore = snapshot(base.path()).value(QStringLiteral("source"));
    const auto treeBefore = snapshot(base.path());
    const auto outsideBefore = snapshot(outside);

    QCOMPARE(Updater::renameWithRetries(source, target, attempts, 10), moved);
    if (moved) {
        QVERIFY(!entryExists(source));
        QCOMPARE(snapshot(base.path()).value(QStringLiteral("target")), sourceBefore);
        if (!sourceBefore.startsWith("link:"))
            QCOMPARE(snapshot(target).keys(), QStringList{QStringLiteral("new.txt")});
        QCOMPARE(snapshot(outside), outsideBefore);
    } else {
        QCOMPARE(snapshot(base.path()), treeBefore);
    }
}

void TestFileTree::renameWithRetries_undeletableTarget()
{
    QTemporaryDir tmp;
    FileSystemFaults faults;
    const QDir base(tmp.path());
    const QString source = base.filePath(QStringLiteral("source"));
    const QString target = base.filePath(QStringLiteral("target"));
    writeFile(source, "new");
    writeFile(target, "old");
    if (!faults.makeImmutable(target))
        QSKIP("chattr +i is not available here");

    QElapsedTimer timer;
    timer.start();
    QVERIFY(!Updater::renameWithRetries(source, target, 3, 50));
    QVERIFY(timer.elapsed() >= 150);
    QCOMPARE(readFile(source), QByteArray("new"));
    QCOMPARE(readFile(target), QByteArray("old"));
}

void TestFileTree::copyRecursively_data()
{
    QTest::addColumn<EntryScope>("scope");
    QTest::newRow("payload: visible entries") << EntryScope::VisibleEntries;
    QTest::newRow("user data: all entries") << EntryScope::AllEntries;
}

void TestFileTree::copyRecursively()
{
    QFETCH(EntryScope, scope);
    QTemporaryDir tmp;
    const QDir base(tmp.path());
    const QString outside = makeOutside(base);
    const QString source = base.filePath(QStringLiteral("src"));
    writeFile(source + QStringLiteral("/a.txt"), "a");
    writeFile(source + QStringLiteral("/.hidden"), "h");
    writeFile(source + QStringLiteral("/sub/b.bin"), QByteArray("\0\1\2", 3));
    writeFile(source + QStringLiteral("/.hdir/c"), "c");
    QVERIFY(makeLink(QStringLiteral("../outside"), source + QStringLiteral("/out")));
    QVERIFY(makeLink(QStringLiteral("."), source + QStringLiteral("/sub/loop")));
    QVERIFY(makeLink(QStringLiteral("nowhere"), source + QStringLiteral("/dangling")));
    const auto outsideBefore = snapshot(outside);

    QMap<QString, QByteArray> expected = snapshot(source);
    if (scope == EntryScope::VisibleEntries) {
        // Hidden entries and dangling links are not listed by the plain rule.
        for (const char *name : {".hidden", ".hdir", ".hdir/c", "dangling"})
            expected.remove(QString::fromLatin1(name));
    }

    const QString target = base.filePath(QStringLiteral("dst"));
    QVERIFY(Updater::copyRecursively(source, target, scope));
    QCOMPARE(snapshot(target), expected);
    QCOMPARE(snapshot(outside), outsideBefore);
}

void TestFileTree::copyOnto_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("copied");
    QTest::newRow("merges into an existing directory") << "merge" << true;
    QTest::newRow("target link is replaced, not written through") << "link" << true;
    QTest::newRow("missing source creates nothing") << "missing" << false;
}

void TestFileTree::copyOnto()
{
    QFETCH(QString, kind);
    QFETCH(bool, copied);
    QTemporaryDir tmp;
    const QDir base(tmp.path());
    const QString outside = makeOutside(base);
    const auto outsideBefore = snapshot(outside);
    const QString source = base.filePath(QStringLiteral("src"));
    const QString target = base.filePath(QStringLiteral("dst"));
    if (kind != QLatin1String("missing"))
        writeFile(source + QStringLiteral("/a.txt"), "new");
    if (kind == QLatin1String("merge")) {
        writeFile(target + QStringLiteral("/a.txt"), "old");
        writeFile(target + QStringLiteral("/extra.txt"), "extra");
    } else if (kind == QLatin1String("link")) {
        QVERIFY(makeLink(outside, target));
    }

    QCOMPARE(Updater::copyRecursively(source, target), copied);
    QCOMPARE(snapshot(outside), outsideBefore);
    if (!copied) {
        QVERIFY(!entryExists(target));
        return;
    }
    QVERIFY(!QFileInfo(target).isSymLink());
    QCOMPARE(readFile(target + QStringLiteral("/a.txt")), QByteArray("new"));
    QCOMPARE(QFileInfo::exists(target + QStringLiteral("/extra.txt")),
             kind == QLatin1String("merge"));
}

void TestFileTree::copyReplacing_data()
{
    QTest::addColumn<int>("sourceBytes");
    QTest::addColumn<bool>("copied");
    QTest::newRow("complete copy replaces the whole target") << 1000 << true;
    QTest::newRow("disk full: target stays as it was") << 400 * 1024 << false;
}

void TestFileTree::copyReplacing()
{
    QFETCH(int, sourceBytes);
    QFETCH(bool, copied);
    QTemporaryDir tmp;
    FileSystemFaults faults;
    const QDir base(tmp.path());
    const QString volume = base.filePath(QStringLiteral("volume"));
    if (!faults.mountTmpfs(volume, QStringLiteral("256k")))
        QSKIP("mounting a tmpfs is not available here");
    const QString source = base.filePath(QStringLiteral("src"));
    writeFile(source + QStringLiteral("/.settings"), "s");
    writeFile(source + QStringLiteral("/big.bin"), QByteArray(sourceBytes, 'b'));
    const QString target = volume + QStringLiteral("/backup");
    writeFile(target + QStringLiteral("/old.txt"), "old");
    const auto sourcePicture = snapshot(source);
    const auto targetBefore = snapshot(target);

    QCOMPARE(Updater::copyReplacing(source, target, EntryScope::AllEntries), copied);
    QCOMPARE(snapshot(target), copied ? sourcePicture : targetBefore);
    QCOMPARE(QDir(volume).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList{QStringLiteral("backup")});
}

QTEST_GUILESS_MAIN(TestFileTree)
#include "tst_filetree.moc"
