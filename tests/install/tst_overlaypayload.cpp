#include "install/overlaypayload.h"

#include "filesystemfaults.h"
#include "testfiles.h"
#include "treesnapshot.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace TestSupport;

class TestOverlayPayload : public QObject
{
    Q_OBJECT

private slots:
    void writesPayloadWithExclusions();
    void failure_data();
    void failure();
};

void TestOverlayPayload::writesPayloadWithExclusions()
{
    QTemporaryDir tmp;
    const QDir base(tmp.path());
    const QString payload = base.filePath(QStringLiteral("payload"));
    const QString install = base.filePath(QStringLiteral("install"));
    const auto put = [](const QString &root, const char *path, const QByteArray &bytes) {
        writeFile(root + QLatin1Char('/') + QLatin1String(path), bytes);
    };
    put(payload, "Orvalink.exe", "new exe");
    put(payload, "app.dll", "new dll");
    put(payload, ".hidden", "h");
    put(payload, "bin/Orvalink.exe", "nested exe");
    put(payload, "bin/tool.exe", "tool");
    put(payload, "bin/config/x", "x");
    put(payload, "bin/profiles", "p");
    put(payload, "config/configs.json", "shipped");
    put(payload, "groups/g", "shipped");
    put(payload, "data/one.txt", "one");
    QVERIFY(makeLink(QStringLiteral("bin"), payload + QStringLiteral("/lib")));
    QVERIFY(makeLink(QStringLiteral(".."), payload + QStringLiteral("/bin/up")));

    put(install, "Orvalink.exe", "old exe");
    put(install, "app.dll", "old dll");
    put(install, "config/configs.json", "user");
    put(install, "data/two.txt", "two");
    put(install, "data/config/c", "in a folder the payload has too");
    put(install, "extra.txt", "extra");

    // Only the named top-level entries are left out; below the top level every name is the
    // payload's, and hidden entries are installed too.
    QString error = QStringLiteral("stale");
    QVERIFY2(Updater::overlayPayload(payload, install,
                                     {QStringLiteral("Orvalink.exe"), QStringLiteral("config"),
                                      QStringLiteral("groups")},
                                     &error),
             qPrintable(error));
    QVERIFY(error.isEmpty());

    const QMap<QString, QByteArray> expected = {
        {QStringLiteral(".hidden"), "file:h"},
        {QStringLiteral("Orvalink.exe"), "file:old exe"},
        {QStringLiteral("app.dll"), "file:new dll"},
        {QStringLiteral("bin"), "dir"},
        {QStringLiteral("bin/Orvalink.exe"), "file:nested exe"},
        {QStringLiteral("bin/config"), "dir"},
        {QStringLiteral("bin/config/x"), "file:x"},
        {QStringLiteral("bin/profiles"), "file:p"},
        {QStringLiteral("bin/tool.exe"), "file:tool"},
        {QStringLiteral("bin/up"), "link:.."},
        {QStringLiteral("config"), "dir"},
        {QStringLiteral("config/configs.json"), "file:user"},
        {QStringLiteral("data"), "dir"},
        {QStringLiteral("data/config"), "dir"},
        {QStringLiteral("data/config/c"), "file:in a folder the payload has too"},
        {QStringLiteral("data/one.txt"), "file:one"},
        {QStringLiteral("data/two.txt"), "file:two"},
        {QStringLiteral("extra.txt"), "file:extra"},
        {QStringLiteral("lib"), "link:bin"},
    };
    QCOMPARE(snapshot(install), expected);
}

void TestOverlayPayload::failure_data()
{
    // A table reads best one row to a line, which the formatter would not keep.
    // clang-format off
    QTest::addColumn<QString>("payloadEntry");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("message");
    QTest::newRow("payload root missing") << "" << "" << "Overlay payload root does not exist.";
    QTest::newRow("file cannot be copied") << "a.txt" << "immutable install" << "Could not copy a.txt";
    QTest::newRow("folder cannot be created") << "sub/a.txt" << "immutable install"
                                              << "Could not create %1/sub";
    QTest::newRow("install dir cannot be created") << "a.txt" << "immutable parent"
                                                   << "Could not create install directory.";
    QTest::newRow("nested copy fails on a full disk") << "sub/deep/big.bin" << "full install"
                                                      << "Could not copy big.bin";
    // clang-format on
}

void TestOverlayPayload::failure()
{
    QFETCH(QString, payloadEntry);
    QFETCH(QString, fault);
    QFETCH(QString, message);
    QTemporaryDir tmp;
    FileSystemFaults faults;
    const QDir base(tmp.path());
    const QString parent = base.filePath(QStringLiteral("parent"));
    const QString payload = base.filePath(QStringLiteral("payload"));
    const QString install = parent + QStringLiteral("/install");
    QDir().mkpath(parent);
    if (!payloadEntry.isEmpty())
        writeFile(payload + QLatin1Char('/') + payloadEntry, QByteArray(300 * 1024, 'x'));
    if (fault == QLatin1String("immutable install")) {
        QDir().mkpath(install);
        if (!faults.makeImmutable(install))
            QSKIP("chattr +i is not available here");
    } else if (fault == QLatin1String("immutable parent")) {
        if (!faults.makeImmutable(parent))
            QSKIP("chattr +i is not available here");
    } else if (fault == QLatin1String("full install")) {
        if (!faults.mountTmpfs(install, QStringLiteral("128k")))
            QSKIP("mounting a tmpfs is not available here");
    }

    QString error;
    QVERIFY(!Updater::overlayPayload(payload, install, {}, &error));
    QCOMPARE(error, message.replace(QStringLiteral("%1"), install));
}

QTEST_GUILESS_MAIN(TestOverlayPayload)
#include "tst_overlaypayload.moc"
