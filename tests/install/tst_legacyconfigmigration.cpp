#include "install/legacyconfigmigration.h"

#include "filesystemfaults.h"
#include "testfiles.h"
#include "treesnapshot.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

using namespace TestSupport;

class TestLegacyConfigMigration : public QObject
{
    Q_OBJECT

private slots:
    void settings_data();
    void settings();
    void nothingToMigrate_data();
    void nothingToMigrate();
    void entriesAndBackup();
    void writeFailure_data();
    void writeFailure();
    void secondRunKeepsTheSameSettings();
};

namespace {

QByteArray indented(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Indented);
}

} // namespace

void TestLegacyConfigMigration::settings_data()
{
    QTest::addColumn<QByteArray>("old"); // null: no configs.json at all
    QTest::addColumn<QJsonObject>("expected");
    const QJsonObject marker{{QStringLiteral("xray_profile_migration_version"), 0}};

    QTest::newRow("no settings file") << QByteArray() << marker;
    QTest::newRow("not JSON") << QByteArray("{\"current_group\": ") << marker;
    QTest::newRow("top level is an array") << QByteArray("[{\"current_group\": 1}]") << marker;
    QTest::newRow("old marker value is reset")
        << QByteArray(R"({"xray_profile_migration_version": 3})") << marker;

    QJsonObject kept = marker;
    kept.insert(QStringLiteral("current_group"), QStringLiteral("g1"));
    kept.insert(QStringLiteral("remember_enable"), false);
    QTest::newRow("carried keys kept, others dropped")
        << QByteArray(R"({"current_group": "g1", "remember_enable": false, "theme": "dark",
                          "route_mode": 2})")
        << kept;

    QJsonObject nested = marker;
    nested.insert(QStringLiteral("sub_custom_hwid_params"),
                  QJsonObject{{QStringLiteral("a"), QJsonArray{1, QStringLiteral("x")}}});
    nested.insert(QStringLiteral("sub_send_hwid"), true);
    nested.insert(QStringLiteral("remember_id"), QJsonValue::Null);
    QTest::newRow("nested values carried whole")
        << QByteArray(R"({"sub_custom_hwid_params": {"a": [1, "x"]}, "sub_send_hwid": true,
                          "remember_id": null})")
        << nested;
}

void TestLegacyConfigMigration::settings()
{
    QFETCH(QByteArray, old);
    QFETCH(QJsonObject, expected);
    QTemporaryDir tmp;
    const QString install = tmp.filePath(QStringLiteral("Orvalink"));
    const QString settingsPath = install + QStringLiteral("/config/configs.json");
    QDir().mkpath(install + QStringLiteral("/config"));
    if (!old.isNull())
        writeFile(settingsPath, old);

    QString error = QStringLiteral("stale");
    QVERIFY2(Updater::migrateLegacyConfig(install, &error), qPrintable(error));
    QVERIFY(error.isEmpty());
    QCOMPARE(readFile(settingsPath), indented(expected));
}

void TestLegacyConfigMigration::nothingToMigrate_data()
{
    QTest::addColumn<bool>("configIsFile");
    QTest::newRow("no config") << false;
    QTest::newRow("config is a plain file") << true;
}

void TestLegacyConfigMigration::nothingToMigrate()
{
    QFETCH(bool, configIsFile);
    QTemporaryDir tmp;
    const QString install = tmp.filePath(QStringLiteral("Orvalink"));
    writeFile(install + QStringLiteral("/Orvalink.exe"), "exe");
    if (configIsFile)
        writeFile(install + QStringLiteral("/config"), "{}");
    const auto before = snapshot(tmp.path());

    QVERIFY(Updater::migrateLegacyConfig(install, nullptr));
    QCOMPARE(snapshot(tmp.path()), before);
}

void TestLegacyConfigMigration::entriesAndBackup()
{
    QTemporaryDir tmp;
    const QDir base(tmp.path());
    const QString install = base.filePath(QStringLiteral("Orvalink"));
    const QString config = install + QStringLiteral("/config");
    writeFile(base.filePath(QStringLiteral("routes/r1.json")), "user's routes");
    const auto routesBefore = snapshot(base.filePath(QStringLiteral("routes")));
    writeFile(config + QStringLiteral("/configs.json"), R"({"current_group": "g", "x": 1})");
    QVERIFY(makeLink(QStringLiteral("../../routes"), config + QStringLiteral("/route_profiles")));
    writeFile(config + QStringLiteral("/dashboard/d.json"), "d");
    writeFile(config + QStringLiteral("/shortcuts.json"), "s");
    writeFile(config + QStringLiteral("/cache.db"), "c");
    writeFile(config + QStringLiteral("/.secret"), "hidden user data");
    writeFile(config + QStringLiteral("/servers/list.json"), "servers");
    const auto configBefore = snapshot(config);
    // A previous backup holding something that the new one must not carry over.
    writeFile(base.filePath(QStringLiteral(".orvalink-legacy-config-backup/stale")), "old");

    QVERIFY(Updater::migrateLegacyConfig(install, nullptr));

    QCOMPARE(snapshot(base.filePath(QStringLiteral("routes"))), routesBefore);
    QCOMPARE(snapshot(base.filePath(QStringLiteral(".orvalink-legacy-config-backup"))),
             configBefore);
    QStringList remaining = QDir(config).entryList(QDir::AllEntries | QDir::NoDotAndDotDot
                                                   | QDir::Hidden | QDir::System);
    remaining.sort();
    QCOMPARE(remaining, (QStringList{QStringLiteral(".secret"), QStringLiteral("configs.json"),
                                     QStringLiteral("servers")}));
    QCOMPARE(readFile(config + QStringLiteral("/servers/list.json")), QByteArray("servers"));
}

void TestLegacyConfigMigration::writeFailure_data()
{
    QTest::addColumn<QString>("fault");
    QTest::newRow("settings file marked read-only") << "read-only";
    QTest::newRow("settings file immutable") << "immutable file";
    QTest::newRow("config folder immutable") << "immutable folder";
    // The write itself is buffered and succeeds; the disk refuses the data when it is flushed.
    QTest::newRow("disk full") << "full";
    // The copy of config is the only one of the legacy entries once they are deleted.
    QTest::newRow("disk full for the backup") << "backup full";
}

void TestLegacyConfigMigration::writeFailure()
{
    QFETCH(QString, fault);
    QTemporaryDir tmp;
    FileSystemFaults faults;
    const QDir base(tmp.path());
    const QString install = base.filePath(QStringLiteral("Orvalink"));
    const QString config = install + QStringLiteral("/config");
    const QString settingsPath = config + QStringLiteral("/configs.json");
    const QByteArray old = R"({"current_group": "g", "theme": "dark"})";
    if ((fault == QLatin1String("full") && !faults.mountTmpfs(config, QStringLiteral("16k")))
        || (fault == QLatin1String("backup full")
            && !faults.mountTmpfs(tmp.path(), QStringLiteral("64k"))))
        QSKIP("mount is not available here");
    const bool backupFails = fault == QLatin1String("backup full");
    const QByteArray cache = backupFails ? QByteArray(40 * 1024, 'c') : QByteArray("c");
    writeFile(settingsPath, old);
    writeFile(config + QStringLiteral("/cache.db"), cache);
    if (fault == QLatin1String("full")) {
        // Removing the legacy entry would make room again.
        QFile::remove(config + QStringLiteral("/cache.db"));
        writeFile(config + QStringLiteral("/filler"), QByteArray(64 * 1024, 'f'));
    } else if (fault == QLatin1String("read-only")) {
        QVERIFY(QFile::setPermissions(settingsPath, QFile::ReadOwner | QFile::ReadGroup));
    } else if (!backupFails) {
        // The legacy entry goes first, or the immutable folder would keep it.
        if (fault == QLatin1String("immutable folder"))
            QFile::remove(config + QStringLiteral("/cache.db"));
        const QString path = fault == QLatin1String("immutable file") ? settingsPath : config;
        if (!faults.makeImmutable(path))
            QSKIP("chattr +i is not available here");
    }

    QString error;
    QVERIFY(!Updater::migrateLegacyConfig(install, &error));
    const QString backup = base.filePath(QStringLiteral(".orvalink-legacy-config-backup"));
    QCOMPARE(error, QStringLiteral("Could not write %1").arg(backupFails ? backup : settingsPath));
    QCOMPARE(readFile(settingsPath), old);
    QCOMPARE(QFileInfo::exists(config + QStringLiteral("/cache.db")), backupFails);
    if (backupFails) {
        QCOMPARE(readFile(config + QStringLiteral("/cache.db")), cache);
        QCOMPARE(QDir(tmp.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{QStringLiteral("Orvalink")});
        return;
    }
    QCOMPARE(readFile(backup + QStringLiteral("/configs.json")), old);
    // Nothing half-written is left beside the settings.
    QStringList left = QDir(config).entryList(QDir::Files | QDir::Hidden);
    left.removeAll(QStringLiteral("filler"));
    QCOMPARE(left, QStringList{QStringLiteral("configs.json")});
}

void TestLegacyConfigMigration::secondRunKeepsTheSameSettings()
{
    QTemporaryDir tmp;
    const QDir base(tmp.path());
    const QString install = base.filePath(QStringLiteral("Orvalink"));
    const QString settingsPath = install + QStringLiteral("/config/configs.json");
    writeFile(settingsPath, R"({"remember_id": "42", "theme": "dark"})");

    QVERIFY(Updater::migrateLegacyConfig(install, nullptr));
    const QByteArray first = readFile(settingsPath);
    QVERIFY(Updater::migrateLegacyConfig(install, nullptr));
    QCOMPARE(readFile(settingsPath), first);
    QCOMPARE(readFile(base.filePath(QStringLiteral(".orvalink-legacy-config-backup/configs.json"))),
             first);
}

QTEST_GUILESS_MAIN(TestLegacyConfigMigration)
#include "tst_legacyconfigmigration.moc"
