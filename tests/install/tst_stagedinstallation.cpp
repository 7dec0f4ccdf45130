#include "common/productnames.h"
#include "install/filetree.h"
#include "install/inplaceinstallation.h"
#include "install/preservedentries.h"
#include "install/stagedinstallation.h"

#include "filesystemfaults.h"
#include "testfiles.h"
#include "treesnapshot.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

using namespace TestSupport;
using Updater::entryExists;

class TestStagedInstallation : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void installs_data();
    void installs();
    void payloadMissing();
    void recovery_data();
    void recovery();
    void recoveryKeepsChangesMadeMeanwhile();
    void inPlaceRollback_data();
    void inPlaceRollback();
    void backupCannotBeRestored();
    void installDirLocked();
    void payloadCannotBeMoved();
    void entryCannotBePreserved();
    void restoreKeepsWhatCannotGoBack_data();
    void restoreKeepsWhatCannotGoBack();
    void migrationFails();
    void resolvePayloadRoot_data();
    void resolvePayloadRoot();

private:
    // <tmp>/parent holds the installation and the working directories; <tmp>/outside is what the
    // user's links point at; <tmp>/extracted/payload is the tree to install.
    void makeUserInstall(const QStringList &names = Updater::preservedEntryNames());
    void makePayload(bool withProfiles = true);
    // Besides the installation only `others` may be left in its folder.
    void verifyInstalled(const QMap<QString, QByteArray> &userEntries,
                         const QStringList &others = QStringList());

    QTemporaryDir *tmp = nullptr;
    // backup and preserve are where earlier builds kept the exchange; ownBackup this build's.
    QString parent, install, payload, backup, preserve, ownBackup, outside;
    QMap<QString, QByteArray> outsideBefore;
};

namespace {
const QStringList names = Updater::preservedEntryNames();

// Already in its migrated form, so the migration leaves the user's bytes as they are.
QByteArray userSettings()
{
    return QJsonDocument(QJsonObject{{QStringLiteral("current_group"), QStringLiteral("home")},
                                     {QStringLiteral("xray_profile_migration_version"), 0}})
        .toJson(QJsonDocument::Indented);
}
} // namespace

void TestStagedInstallation::init()
{
    tmp = new QTemporaryDir;
    const QDir base(tmp->path());
    parent = base.filePath(QStringLiteral("parent"));
    install = parent + QStringLiteral("/Orvalink");
    backup = parent + QStringLiteral("/.orvalink-backup");
    ownBackup = parent + QStringLiteral("/.orvalink-backup-Orvalink");
    preserve = parent + QStringLiteral("/.orvalink-preserve");
    payload = base.filePath(QStringLiteral("extracted/payload"));
    outside = base.filePath(QStringLiteral("outside"));
    QDir().mkpath(parent);
    writeFile(outside + QStringLiteral("/servers.json"), "servers kept elsewhere");
    outsideBefore = snapshot(outside);
}

void TestStagedInstallation::cleanup()
{
    QCOMPARE(snapshot(outside), outsideBefore);
    delete tmp;
    tmp = nullptr;
}

void TestStagedInstallation::makeUserInstall(const QStringList &entries)
{
    writeFile(install + QStringLiteral("/Orvalink.exe"), "old exe");
    writeFile(install + QStringLiteral("/app.dll"), "old dll");
    writeFile(install + QStringLiteral("/logs/today.log"), "log");
    if (entries.contains(QStringLiteral("config"))) {
        writeFile(install + QStringLiteral("/config/configs.json"), userSettings());
        writeFile(install + QStringLiteral("/config/.token"), "hidden");
        QVERIFY(makeLink(QStringLiteral("../../../outside"),
                         install + QStringLiteral("/config/servers")));
        QVERIFY(makeLink(QStringLiteral("."), install + QStringLiteral("/config/loop")));
    }
    if (entries.contains(QStringLiteral("groups")))
        writeFile(install + QStringLiteral("/groups/g1.json"), "group");
    if (entries.contains(QStringLiteral("profiles"))) {
        writeFile(install + QStringLiteral("/profiles/p1.json"), "profile");
        writeFile(install + QStringLiteral("/profiles/.p2"), "hidden profile");
    }
}

void TestStagedInstallation::makePayload(bool withProfiles)
{
    writeFile(payload + QStringLiteral("/Orvalink.exe"), "new exe");
    writeFile(payload + QStringLiteral("/app.dll"), "new dll");
    writeFile(payload + QStringLiteral("/lib/core.dll"), "core");
    if (withProfiles)
        writeFile(payload + QStringLiteral("/profiles/shipped.json"), "shipped");
}

void TestStagedInstallation::verifyInstalled(const QMap<QString, QByteArray> &userEntries,
                                             const QStringList &others)
{
    QCOMPARE(readFile(install + QStringLiteral("/Orvalink.exe")), QByteArray("new exe"));
    QCOMPARE(readFile(install + QStringLiteral("/lib/core.dll")), QByteArray("core"));
    QCOMPARE(snapshotOf(install, names), userEntries);
    QStringList left = QDir(parent).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    left.removeAll(QStringLiteral("Orvalink"));
    left.removeAll(QStringLiteral(".orvalink-legacy-config-backup"));
    QCOMPARE(left, others);
}

void TestStagedInstallation::installs_data()
{
    QTest::addColumn<QStringList>("userEntries");
    QTest::addColumn<bool>("installExists");
    QTest::addColumn<bool>("leftoverFiles");
    QTest::newRow("user entries move aside and back") << names << true << false;
    QTest::newRow("shipped profiles when the user has none")
        << QStringList{QStringLiteral("config")} << true << false;
    QTest::newRow("no installation yet") << QStringList() << false << false;
    QTest::newRow("leftover working entries are plain files") << names << true << true;
}

void TestStagedInstallation::installs()
{
    QFETCH(QStringList, userEntries);
    QFETCH(bool, installExists);
    QFETCH(bool, leftoverFiles);
    if (installExists)
        makeUserInstall(userEntries);
    makePayload();
    if (leftoverFiles) {
        writeFile(backup, "stale");
        writeFile(preserve, "stale");
    }
    QMap<QString, QByteArray> expected = snapshotOf(install, names);
    if (!userEntries.contains(QStringLiteral("profiles"))) {
        expected.insert(QStringLiteral("profiles"), "dir");
        expected.insert(QStringLiteral("profiles/shipped.json"), "file:shipped");
    }

    QString error = QStringLiteral("stale");
    QVERIFY2(Updater::installStagedPayload(payload, install, &error), qPrintable(error));
    QCOMPARE(error, QString());
    verifyInstalled(expected);
    QVERIFY(!entryExists(payload));
    QVERIFY(!entryExists(install + QStringLiteral("/logs")));
}

void TestStagedInstallation::payloadMissing()
{
    makeUserInstall();
    const auto before = snapshot(parent);
    QString error;
    QVERIFY(!Updater::installStagedPayload(payload, install, &error));
    QCOMPARE(error, QStringLiteral("Extracted payload is missing."));
    QCOMPARE(snapshot(parent), before);
}

void TestStagedInstallation::recovery_data()
{
    QTest::addColumn<QString>("state");
    QTest::addColumn<bool>("payloadPresent");
    QTest::newRow("killed after the installation went to the backup") << "moved aside" << true;
    QTest::newRow("same, and the payload is gone") << "moved aside" << false;
    QTest::newRow("killed while copying an entry aside") << "partial preserve" << true;
    QTest::newRow("killed before the backup was deleted") << "backup beside" << true;
    QTest::newRow("killed after the payload moved in") << "payload in" << true;
    QTest::newRow("killed while copying an entry back") << "partial restore" << true;
    // This build: the installation and the payload beside it, config gone ahead.
    QTest::newRow("killed between the two renames") << "between" << true;
    QTest::newRow("between the renames, and the payload is gone") << "between" << false;
    QTest::newRow("killed after the new tree stood") << "new tree" << true;
    QTest::newRow("installation directory made again, the payload gone") << "made again" << false;
    // Two installations in one folder: nothing of the other's is touched.
    QTest::newRow("another installation's update interrupted beside") << "other's" << true;
    QTest::newRow("an earlier build's backup beside another installation")
        << "earlier build's, other installation" << true;
}

void TestStagedInstallation::recovery()
{
    QFETCH(QString, state);
    QFETCH(bool, payloadPresent);
    makeUserInstall();
    const auto userEntries = snapshotOf(install, names);
    const QString incoming = parent + QStringLiteral("/.orvalink-incoming-Orvalink");
    const QString other = parent + QStringLiteral("/OrvalinkBeta");
    QStringList others;
    if (state == QLatin1String("other's")) {
        writeFile(parent + QStringLiteral("/.orvalink-backup-OrvalinkBeta/installation/config/c"),
                  "beta's");
        writeFile(parent + QStringLiteral("/.orvalink-incoming-OrvalinkBeta/Orvalink.exe"), "β");
        others << QStringLiteral(".orvalink-backup-OrvalinkBeta")
               << QStringLiteral(".orvalink-incoming-OrvalinkBeta");
    } else if (state.startsWith(QLatin1String("earlier build's"))) {
        writeFile(other + QStringLiteral("/Orvalink.exe"), "beta");
        writeFile(backup + QStringLiteral("/Orvalink.exe"), "whose?");
        others << QStringLiteral(".orvalink-backup") << QStringLiteral("OrvalinkBeta");
    } else if (state == QLatin1String("between") || state == QLatin1String("new tree")
               || state == QLatin1String("made again")) {
        makePayload();
        QVERIFY(QDir().rename(payload, incoming));
        QVERIFY(QDir().rename(incoming + QStringLiteral("/profiles"),
                              incoming + QStringLiteral("/.orvalink-shipped-profiles")));
        QVERIFY(QDir().mkpath(ownBackup));
        QVERIFY(QDir().rename(install, ownBackup + QStringLiteral("/installation")));
        QVERIFY(QDir().rename(ownBackup + QStringLiteral("/installation/config"),
                              incoming + QStringLiteral("/config")));
        if (state == QLatin1String("new tree"))
            QVERIFY(QDir().rename(incoming, install));
        if (state == QLatin1String("made again"))
            writeFile(install + QStringLiteral("/logs/client.log"), "started");
    }
    const auto othersBefore = snapshotOf(parent, others);
    // What earlier builds left: the user's entries set aside on their own.
    if (others.isEmpty() && !entryExists(ownBackup))
        QDir().mkpath(preserve);
    const auto moveAside = [this](const QString &name) {
        return QDir().rename(install + QLatin1Char('/') + name, preserve + QLatin1Char('/') + name);
    };

    if (state == QLatin1String("moved aside")) {
        for (const QString &name : names)
            QVERIFY(moveAside(name));
        QVERIFY(QDir().rename(install, backup));
    } else if (state == QLatin1String("partial preserve")) {
        QVERIFY(moveAside(QStringLiteral("config")));
        writeFile(preserve + QStringLiteral("/.orvalink-partial-groups/g1.json"), "gro");
    } else if (state == QLatin1String("backup beside")) {
        QVERIFY(Updater::copyRecursively(install, backup, Updater::EntryScope::AllEntries));
    } else if (state == QLatin1String("payload in") || state == QLatin1String("partial restore")) {
        for (const QString &name : names)
            QVERIFY(moveAside(name));
        QVERIFY(QDir().rename(install, backup));
        writeFile(install + QStringLiteral("/Orvalink.exe"), "half-installed exe");
        writeFile(install + QStringLiteral("/profiles/shipped.json"), "shipped");
        if (state == QLatin1String("partial restore")) {
            QVERIFY(QDir().rename(preserve + QStringLiteral("/groups"),
                                  install + QStringLiteral("/groups")));
            writeFile(install + QStringLiteral("/.orvalink-partial-profiles/p1.json"), "pro");
        }
    }
    if (payloadPresent)
        makePayload();

    QString error;
    QCOMPARE(Updater::installStagedPayload(payload, install, &error), payloadPresent);
    if (!payloadPresent) {
        QCOMPARE(error, QStringLiteral("Extracted payload is missing."));
        QCOMPARE(readFile(install + QStringLiteral("/Orvalink.exe")), QByteArray("old exe"));
        QCOMPARE(snapshotOf(install, names), userEntries);
        return;
    }
    verifyInstalled(userEntries, others);
    QCOMPARE(snapshotOf(parent, others), othersBefore);
    QVERIFY(!entryExists(install + QStringLiteral("/.orvalink-partial-profiles")));
}

void TestStagedInstallation::recoveryKeepsChangesMadeMeanwhile()
{
    // Killed after the new tree stood but before the user's entries went back; the new client
    // then ran and the user made a profile, a group and new settings. The preserved copies go
    // back, and nothing the user made meanwhile is lost.
    makeUserInstall();
    const auto userEntries = snapshotOf(install, names);
    QDir().mkpath(preserve);
    for (const QString &name : names)
        QVERIFY(
            QDir().rename(install + QLatin1Char('/') + name, preserve + QLatin1Char('/') + name));
    writeFile(install + QStringLiteral("/profiles/new.json"), "made meanwhile");
    writeFile(install + QStringLiteral("/groups/g1.json"), "group");
    writeFile(install + QStringLiteral("/groups/g2.json"), "made meanwhile");
    writeFile(install + QStringLiteral("/config/configs.json"), "changed meanwhile");
    // A settings file half written when the run was killed.
    writeFile(install + QStringLiteral("/config/.orvalink-partial-configs.json"), "{\"remem");
    // What an earlier recovery kept, changed again: kept beside it, never under a doubled name.
    writeFile(preserve + QStringLiteral("/config.after-interrupted-update/a.json"), "kept");
    writeFile(install + QStringLiteral("/config.after-interrupted-update/a.json"), "again");
    makePayload(false);

    QString error;
    QStringList notes;
    QVERIFY2(Updater::installStagedPayload(payload, install, &error, &notes), qPrintable(error));
    verifyInstalled(userEntries);
    QCOMPARE(snapshot(install + QStringLiteral("/profiles.after-interrupted-update")).keys(),
             QStringList{QStringLiteral("new.json")});
    QCOMPARE(snapshot(install + QStringLiteral("/groups.after-interrupted-update")).keys(),
             QStringList{QStringLiteral("g2.json")});
    QCOMPARE(readFile(install + QStringLiteral("/config.after-interrupted-update-2/configs.json")),
             QByteArray("changed meanwhile"));
    QCOMPARE(readFile(install + QStringLiteral("/config.after-interrupted-update/a.json")),
             QByteArray("kept"));
    QCOMPARE(readFile(install + QStringLiteral("/config.after-interrupted-update-3/a.json")),
             QByteArray("again"));
    QCOMPARE(notes.size(), 4);
    QVERIFY2(notes.first().contains(QStringLiteral("config.after-interrupted-update")),
             qPrintable(notes.first()));
}

void TestStagedInstallation::inPlaceRollback_data()
{
    // An in-place installation killed after it had set app.dll and lib aside, copied the client,
    // written the payload and swapped the new client in.
    const QByteArray journal = "orvalink-in-place 2\nkeep Orvalink.exe\naside app.dll\naside lib\n"
                               "writing\nnew app.dll\nnew lib\nnew new.bin\nswap Orvalink.exe\n";
    const QByteArray earlier =
        "writes app.dll\naside app.dll\nwrites lib\naside lib\nwrites new.bin\n"
        "writes Orvalink.exe\naside Orvalink.exe\nwriting\n";
    QTest::addColumn<QByteArray>("journalText"); // empty: none
    QTest::addColumn<bool>("earlierBuild");      // its journal, the client moved aside
    QTest::addColumn<int>("rollbacks");
    QTest::addColumn<bool>("partlyRolledBack"); // app.dll back already, new.bin gone
    // Without a journal that says so, nothing is known to be the payload's: it stays.
    QTest::addColumn<bool>("newFileStays");
    QTest::newRow("rolled back twice") << journal << false << 2 << false << false;
    QTest::newRow("a rollback killed part way, then run again")
        << journal << false << 1 << true << false;
    QTest::newRow("CRLF line ends")
        << QByteArray(journal).replace("\n", "\r\n") << false << 1 << false << false;
    QTest::newRow("journal cut short")
        << journal.left(journal.indexOf("writing")) + "wri" << false << 1 << false << true;
    QTest::newRow("journal deleted") << QByteArray() << false << 1 << false << true;
    QTest::newRow("an earlier build's journal") << earlier << true << 2 << false << false;
    QTest::newRow("an earlier build's journal that lost lines")
        << earlier.left(earlier.indexOf("writes lib")) << true << 1 << true << false;
}

void TestStagedInstallation::inPlaceRollback()
{
    QFETCH(QByteArray, journalText);
    QFETCH(bool, earlierBuild);
    QFETCH(int, rollbacks);
    QFETCH(bool, partlyRolledBack);
    QFETCH(bool, newFileStays);
    makeUserInstall();
    writeFile(install + QStringLiteral("/lib/core.dll"), "old core");
    const auto before = snapshot(install);
    const QString dir = earlierBuild ? backup : ownBackup;
    const QString entries = earlierBuild ? backup : ownBackup + QStringLiteral("/entries");
    const auto aside = [&](const QString &name) {
        return QDir().rename(install + QLatin1Char('/') + name, entries + QLatin1Char('/') + name);
    };
    QVERIFY(QDir().mkpath(entries) && aside(QStringLiteral("app.dll"))
            && aside(QStringLiteral("lib")));
    QVERIFY(earlierBuild ? aside(QStringLiteral("Orvalink.exe"))
                         : QFile::copy(install + QStringLiteral("/Orvalink.exe"),
                                       entries + QStringLiteral("/Orvalink.exe")));
    writeTree(install, {{QStringLiteral("Orvalink.exe"), "new exe"},
                        {QStringLiteral("app.dll"), "new dll"},
                        {QStringLiteral("lib/core.dll"), "new core"},
                        {QStringLiteral("new.bin"), "new"}});
    if (partlyRolledBack) {
        QVERIFY(QFile::remove(install + QStringLiteral("/new.bin"))
                && QFile::remove(install + QStringLiteral("/app.dll")));
        QVERIFY(QDir().rename(entries + QStringLiteral("/app.dll"),
                              install + QStringLiteral("/app.dll")));
    }
    if (!journalText.isEmpty())
        writeFile(dir
                      + (earlierBuild ? QStringLiteral("/.orvalink-in-place-journal")
                                      : QStringLiteral("/journal")),
                  journalText);

    QStringList notes;
    for (int run = 0; run < rollbacks; ++run)
        QVERIFY(Updater::rollBackInPlace(install, dir, &notes, earlierBuild));
    auto expected = before;
    if (newFileStays)
        expected.insert(QStringLiteral("new.bin"), "file:new");
    QCOMPARE(snapshot(install), expected);
    QVERIFY(!entryExists(dir));
    QCOMPARE(notes.size(), journalText.isEmpty() ? 1 : 0);
}

void TestStagedInstallation::backupCannotBeRestored()
{
    FileSystemFaults faults;
    makeUserInstall();
    const auto userEntries = snapshotOf(install, names);
    QDir().mkpath(preserve);
    QVERIFY(
        QDir().rename(install + QStringLiteral("/config"), preserve + QStringLiteral("/config")));
    QVERIFY(QDir().rename(install, backup));
    makePayload();
    if (!faults.bindOntoItself(backup))
        QSKIP("mount --bind is not available here");
    const auto before = snapshot(tmp->path());

    QString error;
    QVERIFY(!Updater::installStagedPayload(payload, install, &error));
    QCOMPARE(error,
             QStringLiteral("Could not restore the previous installation from %1").arg(backup));
    QCOMPARE(snapshot(tmp->path()), before);
}

void TestStagedInstallation::installDirLocked()
{
    // A locked installation cannot be renamed (EBUSY), and its entries cannot be renamed out of
    // it or back in (EXDEV): the entries go aside and back by copy, the payload is written in
    // place.
    FileSystemFaults faults;
    makeUserInstall({QStringLiteral("config")});
    makePayload(false);
    const auto userEntries = snapshotOf(install, names);
    if (!faults.bindOntoItself(install))
        QSKIP("mount --bind is not available here");

    QString error;
    QVERIFY2(Updater::installStagedPayload(payload, install, &error), qPrintable(error));
    QCOMPARE(error, QString());
    verifyInstalled(userEntries);
    QCOMPARE(readFile(install + QStringLiteral("/app.dll")), QByteArray("new dll"));
    // What the payload lacks goes, and the payload is used up, as on the staged path.
    QVERIFY(!entryExists(install + QStringLiteral("/logs")));
    QVERIFY(!entryExists(payload));
}

void TestStagedInstallation::payloadCannotBeMoved()
{
    FileSystemFaults faults;
    makeUserInstall();
    makePayload();
    const auto before = snapshot(parent);
    const auto payloadBefore = snapshot(payload);
    if (!faults.makeImmutable(QFileInfo(payload).path()))
        QSKIP("chattr +i is not available here");

    QString error;
    QVERIFY(!Updater::installStagedPayload(payload, install, &error));
    QCOMPARE(error, QStringLiteral("Failed to install the staged payload."));
    QCOMPARE(snapshot(install), snapshot(parent + QStringLiteral("/Orvalink")));
    QMap<QString, QByteArray> after = snapshot(parent);
    after.remove(QStringLiteral(".orvalink-preserve")); // left empty for the next run
    QCOMPARE(after, before);
    QCOMPARE(snapshot(payload), payloadBefore);
}

void TestStagedInstallation::entryCannotBePreserved()
{
    // A handle open inside config (here mounts) keeps it, and the installation, from being
    // moved: it stays where it is, untouched, and the payload is written around it in place.
    FileSystemFaults faults;
    makeUserInstall();
    makePayload();
    const auto userEntries = snapshotOf(install, names);
    if (!faults.bindOntoItself(install)
        || !faults.bindOntoItself(install + QStringLiteral("/config")))
        QSKIP("mount --bind is not available here");

    QString error;
    QVERIFY2(Updater::installStagedPayload(payload, install, &error), qPrintable(error));
    verifyInstalled(userEntries);
}

void TestStagedInstallation::restoreKeepsWhatCannotGoBack_data()
{
    QTest::addColumn<bool>("installExists");
    QTest::newRow("installation missing is not created") << false;
    QTest::newRow("installation that cannot take it back") << true;
}

void TestStagedInstallation::restoreKeepsWhatCannotGoBack()
{
    QFETCH(bool, installExists);
    FileSystemFaults faults;
    writeFile(preserve + QStringLiteral("/config/configs.json"), userSettings());
    const auto preservedBefore = snapshot(preserve);
    if (installExists) {
        writeFile(install + QStringLiteral("/config"), "shipped");
        if (!faults.makeImmutable(install))
            QSKIP("chattr +i is not available here");
    }
    const auto installBefore = snapshot(install);

    Updater::restorePreservedEntries(preserve, install, names);
    QCOMPARE(snapshot(preserve), preservedBefore);
    QCOMPARE(entryExists(install), installExists);
    QCOMPARE(snapshot(install), installBefore);
}

void TestStagedInstallation::migrationFails()
{
    FileSystemFaults faults;
    makeUserInstall();
    makePayload();
    const QString settings = install + QStringLiteral("/config/configs.json");
    if (!faults.makeImmutable(settings))
        QSKIP("chattr +i is not available here");
    const auto userEntries = snapshotOf(install, names);

    QString error;
    QVERIFY(!Updater::installStagedPayload(payload, install, &error));
    QCOMPARE(error, QStringLiteral("Could not write %1").arg(settings));
    QCOMPARE(readFile(install + QStringLiteral("/Orvalink.exe")), QByteArray("new exe"));
    QCOMPARE(snapshotOf(install, names), userEntries);
    QCOMPARE(readFile(ownBackup + QStringLiteral("/installation/Orvalink.exe")),
             QByteArray("old exe"));
}

void TestStagedInstallation::resolvePayloadRoot_data()
{
    QTest::addColumn<QStringList>("entries"); // a trailing slash makes a folder
    QTest::addColumn<QString>("expected");    // relative to the extraction directory
    QTest::newRow("single folder") << QStringList{QStringLiteral("Orvalink/")} << "Orvalink";
    QTest::newRow("single folder beside a hidden file")
        << QStringList{QStringLiteral("Orvalink/"), QStringLiteral(".meta")} << "Orvalink";
    QTest::newRow("folder and file")
        << QStringList{QStringLiteral("Orvalink/"), QStringLiteral("a")} << "";
    QTest::newRow("single file") << QStringList{QStringLiteral("Orvalink.exe")} << "";
    QTest::newRow("nothing") << QStringList() << "";
    QTest::newRow("link to a folder") << QStringList{QStringLiteral("@link")} << "";
    QTest::newRow("directory missing") << QStringList{QStringLiteral("-")} << "";
}

void TestStagedInstallation::resolvePayloadRoot()
{
    QFETCH(QStringList, entries);
    QFETCH(QString, expected);
    const QString extracted = tmp->filePath(QStringLiteral("extracted"));
    if (!entries.contains(QStringLiteral("-")))
        QDir().mkpath(extracted);
    for (const QString &entry : entries) {
        if (entry == QLatin1String("@link"))
            QVERIFY(makeLink(outside, extracted + QStringLiteral("/link")));
        else if (entry.endsWith(QLatin1Char('/')))
            QDir().mkpath(extracted + QLatin1Char('/') + entry);
        else if (entry != QLatin1String("-"))
            writeFile(extracted + QLatin1Char('/') + entry, "x");
    }
    const QString result = Updater::resolvePayloadRoot(extracted);
    QCOMPARE(result, expected.isEmpty() ? extracted : QDir(extracted).absoluteFilePath(expected));
}

QTEST_GUILESS_MAIN(TestStagedInstallation)
#include "tst_stagedinstallation.moc"
