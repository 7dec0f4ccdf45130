#include "e2eharness.h"
#include "fixtures.h"
#include "nginxserver.h"
#include "source/manifestparser.h"
#include "testcertificates.h"
#include "treesnapshot.h"
#include "updaterprocess.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>

#include <memory>

#include <unistd.h>

using namespace E2e;

// Whole online updates of the built program against a real nginx over HTTP and HTTPS, run from a
// folder of its own with no PowerShell anywhere it could find one: the manifest and the package
// as the server sees them requested, the installation afterwards, the client started again, and
// packages or redirects that must be refused with the installation left as it was and the window
// waiting for the user.
class TestOnlineUpdate : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void wholeUpdate_data();
    void wholeUpdate();
    void refusedUpdateLeavesInstallation_data();
    void refusedUpdateLeavesInstallation();
    void differentialUpdate_data();
    void differentialUpdate();

private:
    enum class Package {
        Good,
        WrongHash,
        ParentEntry,
        FarParentEntry,
        AbsoluteEntry,
        EntryThroughLink
    };

    struct Row
    {
        QString dir;
        QString installDir;
        QString clientLog;
        QString outsideDir;
        QString wwwSubdir;
    };

    bool prepareRow(Row *row, const QString &installRelative);
    QString publish(const Row &row, const QString &payloadDir, const QString &topFolder,
                    Package kind, const QString &packageUrl);
    QString url(const QString &route, const QString &tag) const;

    QTemporaryDir m_temp;
    std::unique_ptr<NginxServer> m_server;
    TestCertificates m_certificates;
    int m_rowCount = 0;
};

// Test URLs are written as "<scheme-and-origin>|<path>", the origin one of: http, https,
// https-localhost, https2; {tag} in the path stands for the row's folder on the server.
QString TestOnlineUpdate::url(const QString &route, const QString &tag) const
{
    const QString origin = route.section(QLatin1Char('|'), 0, 0);
    const QString path = route.section(QLatin1Char('|'), 1).replace(QStringLiteral("{tag}"), tag);
    if (origin == QLatin1String("http"))
        return m_server->httpUrl(path);
    if (origin == QLatin1String("https"))
        return m_server->httpsUrl(path);
    if (origin == QLatin1String("https-localhost"))
        return m_server->httpsUrl(path, QStringLiteral("localhost"));
    return m_server->secondHttpsUrl(path);
}

void TestOnlineUpdate::initTestCase()
{
    QVERIFY2(QFileInfo(updaterPath()).isExecutable(), qPrintable(updaterPath()));
    QVERIFY(m_temp.isValid());
    if (geteuid() != 0)
        QSKIP("the updater trusts the test CA only inside a private mount namespace, which needs "
              "root");

    QString error;
    QVERIFY2(m_certificates.create(m_temp.filePath(QStringLiteral("pki")), &error),
             qPrintable(error));
    m_server = std::make_unique<NginxServer>(m_temp.filePath(QStringLiteral("nginx")));
    m_server->enableTls(m_certificates.serverCertificate(), m_certificates.serverKey());
    m_server->addRedirect(QStringLiteral("/to-http/"), 302,
                          QStringLiteral("http://127.0.0.1:{http}/"));
    m_server->addRedirect(QStringLiteral("/to-https/"), 302,
                          QStringLiteral("https://127.0.0.1:{https}/"));
    m_server->addRedirect(QStringLiteral("/to-other-origin/"), 301,
                          QStringLiteral("https://localhost:{https2}/"));
    QVERIFY2(m_server->start(&error), qPrintable(error));
}

bool TestOnlineUpdate::prepareRow(Row *row, const QString &installRelative)
{
    ++m_rowCount;
    row->wwwSubdir = QStringLiteral("r%1").arg(m_rowCount);
    row->dir = m_temp.filePath(QStringLiteral("row%1").arg(m_rowCount));
    row->installDir = QDir(row->dir).filePath(installRelative);
    row->clientLog = QDir(row->dir).filePath(QStringLiteral("client.log"));
    row->outsideDir = QDir(row->dir).filePath(QStringLiteral("outside-data"));
    return writeInstallation(row->installDir, row->clientLog, row->outsideDir);
}

// Zips the payload (under topFolder when given), puts package and manifest on the server and
// returns the manifest's path on the server.
QString TestOnlineUpdate::publish(const Row &row, const QString &payloadDir,
                                  const QString &topFolder, Package kind, const QString &packageUrl)
{
    const QString packing = QDir(row.dir).filePath(QStringLiteral("packing"));
    const QString packed = topFolder.isEmpty() ? packing : QDir(packing).filePath(topFolder);
    QDir().mkpath(QFileInfo(packed).absolutePath());
    if (!QDir().rename(payloadDir, packed)) {
        qWarning("cannot move %s to %s", qPrintable(payloadDir), qPrintable(packed));
        return QString();
    }

    // A hostile package is the good one followed by entries that no tree on disk can carry:
    // they are written under stand-in names and renamed inside the zip afterwards.
    const QString attack = QDir(row.dir).filePath(QStringLiteral("attack"));
    QStringList attackEntries;
    QByteArray from;
    QByteArray to;
    switch (kind) {
    case Package::Good:
    case Package::WrongHash:
        break;
    case Package::ParentEntry:
        writeFile(QDir(attack).filePath(QStringLiteral("..Xevil")), "evil\n");
        attackEntries << QStringLiteral("..Xevil");
        from = "..Xevil";
        to = "../evil";
        break;
    case Package::FarParentEntry:
        writeFile(QDir(attack).filePath(QStringLiteral("..X..X..Xevil")), "evil\n");
        attackEntries << QStringLiteral("..X..X..Xevil");
        from = "..X..X..Xevil";
        to = "../../../evil";
        break;
    case Package::AbsoluteEntry: {
        // Named by the absolute path of a file in the row's folder.
        const QString target = QDir(row.dir).filePath(QStringLiteral("evil"));
        const QString first = target.section(QLatin1Char('/'), 1, 1);
        const QString relative = QStringLiteral("X") + target.mid(1);
        writeFile(QDir(attack).filePath(relative), "evil\n");
        attackEntries << relative;
        from = QStringLiteral("X%1/").arg(first).toUtf8();
        to = QStringLiteral("/%1/").arg(first).toUtf8();
        break;
    }
    case Package::EntryThroughLink:
        // A link to a folder outside first, then a file written through it.
        QDir().mkpath(QDir(row.dir).filePath(QStringLiteral("victim")));
        QDir().mkpath(attack);
        QFile::link(QDir(row.dir).filePath(QStringLiteral("victim")),
                    QDir(attack).filePath(QStringLiteral("escape")));
        writeFile(QDir(attack).filePath(QStringLiteral("escapX/evil")), "evil\n");
        attackEntries << QStringLiteral("escape") << QStringLiteral("escapX/evil");
        from = "escapX/";
        to = "escape/";
        break;
    }

    const QString www = QDir(m_server->wwwDir()).filePath(row.wwwSubdir);
    const QString zipPath = QDir(www).filePath(QStringLiteral("package.zip"));
    QDir().mkpath(www);
    QString error;
    if (!zipTree(packing, zipPath, &error)
        || (!attackEntries.isEmpty() && !appendToZip(attack, attackEntries, zipPath, &error))) {
        qWarning("%s", qPrintable(error));
        return QString();
    }
    if (!from.isEmpty() && !patchZipNames(zipPath, from, to)) {
        qWarning("cannot rename %s in the package", from.constData());
        return QString();
    }

    QString hash = sha256OfFile(zipPath);
    if (kind == Package::WrongHash)
        hash = QString::fromLatin1(
            QCryptographicHash::hash("another package", QCryptographicHash::Sha256).toHex());
    const QJsonObject manifest{{QStringLiteral("version"), QStringLiteral("3.0.0")},
                               {QStringLiteral("channel"), QStringLiteral("stable")},
                               {QStringLiteral("package_url"), packageUrl},
                               {QStringLiteral("package_hash"), hash},
                               {QStringLiteral("package_format"), QStringLiteral("zip")},
                               {QStringLiteral("release_notes"), QStringLiteral("Исправления")}};
    writeFile(QDir(www).filePath(QStringLiteral("manifest.json")),
              QJsonDocument(manifest).toJson());
    return QStringLiteral("/%1/manifest.json").arg(row.wwwSubdir);
}

namespace {

// Expected access log entries are written "<origin> <status> <request target>", the origin one
// of http, https, https2; `{tag}` stands for the row's folder on the server.
QString expectedLine(const QString &expected, const NginxServer &server, const QString &tag)
{
    const QString origin = expected.section(QLatin1Char(' '), 0, 0);
    const quint16 port = origin == QLatin1String("http")    ? server.httpPort()
                         : origin == QLatin1String("https") ? server.httpsPort()
                                                            : server.secondHttpsPort();
    QString target = expected.section(QLatin1Char(' '), 2);
    target.replace(QStringLiteral("{tag}"), tag);
    return QStringLiteral("%1 \"GET %2 HTTP/1.1\" \"Orvalink v3\" %3")
        .arg(port)
        .arg(target, expected.section(QLatin1Char(' '), 1, 1));
}

QStringList requestsOfRow(const NginxServer &server, const QString &tag)
{
    QStringList lines;
    const QString marker = QStringLiteral("/%1/").arg(tag);
    for (const QString &line : server.accessLog()) {
        if (line.contains(marker))
            lines << line;
    }
    return lines;
}

QStringList clientStarts(const QString &clientLog)
{
    return QString::fromUtf8(readFile(clientLog)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

} // namespace

void TestOnlineUpdate::wholeUpdate_data()
{
    QTest::addColumn<QString>("manifestUrl");
    QTest::addColumn<QString>("packageUrl");
    QTest::addColumn<QString>("topFolder");
    QTest::addColumn<QString>("installRelative");
    QTest::addColumn<QStringList>("expectedRequests");

    const QString plain = QStringLiteral("Orvalink");
    QTest::newRow("http, the URL's own query sent as given")
        << QStringLiteral("http|/{tag}/manifest.json?from=2.4.1&arch=x64")
        << QStringLiteral("http|/{tag}/package.zip") << QString() << plain
        << QStringList{QStringLiteral("http 200 /{tag}/manifest.json?from=2.4.1&arch=x64"),
                       QStringLiteral("http 200 /{tag}/package.zip")};
    QTest::newRow("https, package under one top folder")
        << QStringLiteral("https|/{tag}/manifest.json")
        << QStringLiteral("https-localhost|/{tag}/package.zip") << QStringLiteral("Orvalink-3.0.0")
        << plain
        << QStringList{QStringLiteral("https 200 /{tag}/manifest.json"),
                       QStringLiteral("https 200 /{tag}/package.zip")};
    QTest::newRow("https redirected to another https origin")
        << QStringLiteral("https|/to-other-origin/{tag}/manifest.json")
        << QStringLiteral("https-localhost|/to-other-origin/{tag}/package.zip") << QString()
        << plain
        << QStringList{QStringLiteral("https 301 /to-other-origin/{tag}/manifest.json"),
                       QStringLiteral("https2 200 /{tag}/manifest.json"),
                       QStringLiteral("https 301 /to-other-origin/{tag}/package.zip"),
                       QStringLiteral("https2 200 /{tag}/package.zip")};
    QTest::newRow("http redirected to https")
        << QStringLiteral("http|/to-https/{tag}/manifest.json")
        << QStringLiteral("http|/to-https/{tag}/package.zip") << QString() << plain
        << QStringList{QStringLiteral("http 302 /to-https/{tag}/manifest.json"),
                       QStringLiteral("https 200 /{tag}/manifest.json"),
                       QStringLiteral("http 302 /to-https/{tag}/package.zip"),
                       QStringLiteral("https 200 /{tag}/package.zip")};
    QTest::newRow("quotes in the installation path")
        << QStringLiteral("http|/{tag}/manifest.json") << QStringLiteral("http|/{tag}/package.zip")
        << QStringLiteral("O'Brien’s 3.0") << QStringLiteral("Users/O'Brien’s files/Orvalink")
        << QStringList{QStringLiteral("http 200 /{tag}/manifest.json"),
                       QStringLiteral("http 200 /{tag}/package.zip")};
}

void TestOnlineUpdate::wholeUpdate()
{
    QFETCH(QString, manifestUrl);
    QFETCH(QString, packageUrl);
    QFETCH(QString, topFolder);
    QFETCH(QString, installRelative);
    QFETCH(QStringList, expectedRequests);

    Row row;
    QVERIFY(prepareRow(&row, installRelative));
    const QString payloadDir = QDir(row.dir).filePath(QStringLiteral("payload"));
    QVERIFY(writePayload(payloadDir, row.clientLog));
    const TreeSnapshot payload = TreeSnapshot::take(payloadDir);
    const TreeSnapshot before = TreeSnapshot::take(row.installDir);
    const TreeSnapshot outsideBefore = TreeSnapshot::take(row.outsideDir);
    QVERIFY(!publish(row, payloadDir, topFolder, Package::Good, url(packageUrl, row.wwwSubdir))
                 .isEmpty());

    // The updater unpacks the package itself: beside it is only the taskkill stand-in.
    const QString alone = QDir(row.dir).filePath(QStringLiteral("updater"));
    QVERIFY(QDir().mkpath(alone));
    for (const QString &program : {QStringLiteral("OrvalinkUpdater"), QStringLiteral("taskkill")})
        QVERIFY(QFile::copy(QDir(binDir()).filePath(program), QDir(alone).filePath(program)));
    QStringList path = qEnvironmentVariable("PATH").split(QLatin1Char(':'), Qt::SkipEmptyParts);
    path.removeAll(binDir());
    for (const QString &name : {QStringLiteral("powershell.exe"), QStringLiteral("powershell")})
        QCOMPARE(QStandardPaths::findExecutable(name, path + QStringList{alone}), QString());

    UpdaterProcess updater;
    updater.setProgram(QDir(alone).filePath(QStringLiteral("OrvalinkUpdater")));
    updater.setEnvironmentValue(QStringLiteral("PATH"), path.join(QLatin1Char(':')));
    updater.setTrustedCertificates(m_certificates.trustedFolder());
    updater.setWorkingDirectory(row.dir);
    QString error;
    QVERIFY2(updater.start({QStringLiteral("--manifest-url"), url(manifestUrl, row.wwwSubdir),
                            QStringLiteral("--install-dir"), row.installDir,
                            QStringLiteral("--current-version"), QStringLiteral("2.4.1"),
                            QStringLiteral("--channel"), QStringLiteral("stable")},
                           &error),
             qPrintable(error));
    QVERIFY2(updater.waitForExit(), "the updater did not finish the update and close its window");
    QCOMPARE(updater.exitStatus(), QProcess::NormalExit);
    QCOMPARE(updater.exitCode(), 0);

    const QStringList problems = problemsAfterUpdate(row.installDir, payload, before);
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join(QLatin1Char('\n'))));
    QCOMPARE(TreeSnapshot::take(row.outsideDir), outsideBefore);
    QVERIFY2(waitUntil([&] {
                 return clientStarts(row.clientLog).contains(QStringLiteral("3.0.0 started"));
             }),
             "the updated client was not started");
    QCOMPARE(clientStarts(row.clientLog), QStringList{QStringLiteral("3.0.0 started")});

    QStringList expected;
    for (const QString &line : expectedRequests)
        expected << expectedLine(line, *m_server, row.wwwSubdir);
    // Qt 6.4 now and then sends a request that was answered with a cross-origin redirect a second
    // time on a new connection; what is sent matters here, not how often.
    QStringList seen = requestsOfRow(*m_server, row.wwwSubdir);
    seen.removeDuplicates();
    expected.sort();
    seen.sort();
    QVERIFY2(seen == expected,
             qPrintable(QStringLiteral("requests seen:\n%1\nexpected:\n%2")
                            .arg(seen.join(QLatin1Char('\n')), expected.join(QLatin1Char('\n')))));
}

void TestOnlineUpdate::refusedUpdateLeavesInstallation_data()
{
    QTest::addColumn<QString>("manifestUrl");
    QTest::addColumn<QString>("packageUrl");
    QTest::addColumn<int>("package");
    // Requests the server must have seen, and requests (origin and target) it must never see.
    QTest::addColumn<QStringList>("mustSee");
    QTest::addColumn<QStringList>("mustNotSee");

    const QString manifest = QStringLiteral("http|/{tag}/manifest.json");
    const QString package = QStringLiteral("http|/{tag}/package.zip");
    const QStringList packageFetched{QStringLiteral("http 200 /{tag}/package.zip")};

    QTest::newRow("package digest differs")
        << manifest << package << int(Package::WrongHash) << packageFetched << QStringList();
    QTest::newRow("manifest redirected from https to http")
        << QStringLiteral("https|/to-http/{tag}/manifest.json") << package << int(Package::Good)
        << QStringList{QStringLiteral("https 302 /to-http/{tag}/manifest.json")}
        << QStringList{QStringLiteral("http /{tag}/manifest.json")};
    QTest::newRow("package redirected from https to http")
        << QStringLiteral("https|/{tag}/manifest.json")
        << QStringLiteral("https|/to-http/{tag}/package.zip") << int(Package::Good)
        << QStringList{QStringLiteral("https 200 /{tag}/manifest.json"),
                       QStringLiteral("https 302 /to-http/{tag}/package.zip")}
        << QStringList{QStringLiteral("http /{tag}/package.zip")};
    QTest::newRow("entry ../evil")
        << manifest << package << int(Package::ParentEntry) << packageFetched << QStringList();
    QTest::newRow("entry ../../../evil")
        << manifest << package << int(Package::FarParentEntry) << packageFetched << QStringList();
    QTest::newRow("entry with an absolute path")
        << manifest << package << int(Package::AbsoluteEntry) << packageFetched << QStringList();
    QTest::newRow("entry written through a link entry")
        << manifest << package << int(Package::EntryThroughLink) << packageFetched << QStringList();
}

void TestOnlineUpdate::refusedUpdateLeavesInstallation()
{
    QFETCH(QString, manifestUrl);
    QFETCH(QString, packageUrl);
    QFETCH(int, package);
    QFETCH(QStringList, mustSee);
    QFETCH(QStringList, mustNotSee);

    Row row;
    QVERIFY(prepareRow(&row, QStringLiteral("Orvalink")));
    const QString payloadDir = QDir(row.dir).filePath(QStringLiteral("payload"));
    QVERIFY(writePayload(payloadDir, row.clientLog));
    const TreeSnapshot before = TreeSnapshot::take(row.installDir);
    const TreeSnapshot outsideBefore = TreeSnapshot::take(row.outsideDir);
    QVERIFY(!publish(row, payloadDir, QString(), Package(package), url(packageUrl, row.wwwSubdir))
                 .isEmpty());

    UpdaterProcess updater;
    updater.setTrustedCertificates(m_certificates.trustedFolder());
    updater.setWorkingDirectory(row.dir);
    QString error;
    QVERIFY2(updater.start({QStringLiteral("--manifest-url"), url(manifestUrl, row.wwwSubdir),
                            QStringLiteral("--install-dir"), row.installDir,
                            QStringLiteral("--current-version"), QStringLiteral("2.4.1")},
                           &error),
             qPrintable(error));
    // A refused update keeps its window open until the user closes it.
    QVERIFY2(updater.waitForFailure(), "the updater closed its window after a refused update");
    updater.kill();

    const QStringList changes = before.differences(TreeSnapshot::take(row.installDir));
    QVERIFY2(changes.isEmpty(), qPrintable(changes.join(QLatin1Char('\n'))));
    QCOMPARE(TreeSnapshot::take(row.outsideDir), outsideBefore);
    QVERIFY(clientStarts(row.clientLog).isEmpty());
    for (const QString &path : {QDir(row.dir).filePath(QStringLiteral(".orvalink-update/evil")),
                                QDir(row.dir).filePath(QStringLiteral("evil")),
                                QDir(row.dir).filePath(QStringLiteral("victim/evil")),
                                m_temp.filePath(QStringLiteral("evil"))})
        QVERIFY2(!QFileInfo::exists(path),
                 qPrintable(QStringLiteral("written outside the package's folder: ") + path));

    const QStringList seen = requestsOfRow(*m_server, row.wwwSubdir);
    for (const QString &line : mustSee)
        QVERIFY2(seen.contains(expectedLine(line, *m_server, row.wwwSubdir)),
                 qPrintable(QStringLiteral("not requested: %1\nseen: %2")
                                .arg(line, seen.join(QLatin1Char('\n')))));
    for (const QString &forbidden : mustNotSee) {
        const QString port =
            QString::number(forbidden.startsWith(QLatin1String("https")) ? m_server->httpsPort()
                                                                         : m_server->httpPort());
        const QString target =
            forbidden.section(QLatin1Char(' '), 1).replace(QStringLiteral("{tag}"), row.wwwSubdir);
        for (const QString &line : seen)
            QVERIFY2(
                !line.startsWith(port + QStringLiteral(" \"GET ") + target + QLatin1Char(' ')),
                qPrintable(QStringLiteral("followed a redirect to a less safe scheme: ") + line));
    }
}

void TestOnlineUpdate::differentialUpdate_data()
{
    QTest::addColumn<bool>("corruptPiece");
    QTest::newRow("ranges of the published files, no package") << false;
    QTest::newRow("a served piece corrupted: the package instead") << true;
}

// The installation and the payload of the whole update, with a large file that changes a little
// and a new one: the release tool publishes them against the installation as release 2.4.1.
void TestOnlineUpdate::differentialUpdate()
{
    QFETCH(bool, corruptPiece);

    Row row;
    QVERIFY(prepareRow(&row, QStringLiteral("Orvalink")));
    const QString payloadDir = QDir(row.dir).filePath(QStringLiteral("payload"));
    QByteArray binary(300000, Qt::Uninitialized);
    QRandomGenerator(11).fillRange(reinterpret_cast<quint32 *>(binary.data()), binary.size() / 4);
    QVERIFY(writeFile(QDir(row.installDir).filePath(QStringLiteral("bin/core.bin")), binary));
    QVERIFY(writePayload(payloadDir, row.clientLog));
    QVERIFY(writeFile(QDir(payloadDir).filePath(QStringLiteral("bin/core.bin")),
                      binary.replace(100000, 7, "patched")));
    QVERIFY(writeFile(QDir(payloadDir).filePath(QStringLiteral("bin/new.bin")),
                      binary.right(150000) + "new"));
    const TreeSnapshot payload = TreeSnapshot::take(payloadDir);
    const TreeSnapshot before = TreeSnapshot::take(row.installDir);

    const QString www = QDir(m_server->wwwDir()).filePath(row.wwwSubdir);
    QString output;
    QVERIFY2(runCommand(QDir(binDir()).filePath(QStringLiteral("orvalink-release")),
                        {QStringLiteral("--payload"), payloadDir, QStringLiteral("--version"),
                         QStringLiteral("3.0.0"), QStringLiteral("--package-url"),
                         url(QStringLiteral("http|/{tag}/package.zip"), row.wwwSubdir),
                         QStringLiteral("--out"), www, QStringLiteral("--previous"), row.installDir,
                         QStringLiteral("--previous-version"), QStringLiteral("2.4.1")},
                        &output),
             qPrintable(output));
    if (corruptPiece) {
        Updater::UpdateManifest manifest;
        QVERIFY(Updater::parseUpdateManifest(
            readFile(QDir(www).filePath(QStringLiteral("manifest.json"))), &manifest, nullptr));
        const auto newFile =
            std::find_if(manifest.delta.files.cbegin(), manifest.delta.files.cend(),
                         [](const Updater::DeltaFile &file) {
                             return file.path == QLatin1String("bin/new.bin");
                         });
        QFile zpack(QDir(www).filePath(QStringLiteral("package.zpack")));
        QVERIFY(newFile != manifest.delta.files.cend() && zpack.open(QIODevice::ReadWrite)
                && zpack.seek(newFile->frame.offset + newFile->frame.length / 2)
                && zpack.write("X") == 1);
    }

    UpdaterProcess updater;
    QString error;
    QVERIFY2(updater.start({QStringLiteral("--manifest-url"),
                            url(QStringLiteral("http|/{tag}/manifest.json"), row.wwwSubdir),
                            QStringLiteral("--install-dir"), row.installDir,
                            QStringLiteral("--current-version"), QStringLiteral("2.4.1")},
                           &error),
             qPrintable(error));
    QVERIFY2(updater.waitForExit(), "the updater did not finish the update and close its window");
    const QStringList problems = problemsAfterUpdate(row.installDir, payload, before);
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join(QLatin1Char('\n'))));

    const QString seen = requestsOfRow(*m_server, row.wwwSubdir).join(QLatin1Char('\n'));
    QVERIFY2(seen.contains(QStringLiteral("/package.zpack HTTP/1.1\" \"Orvalink v3\" 206"))
                 && seen.contains(QStringLiteral("/package-from-2.4.1.zpatch "))
                 && seen.contains(QStringLiteral("/package.zip ")) == corruptPiece,
             qPrintable(seen));
}

QTEST_MAIN(TestOnlineUpdate)
#include "tst_onlineupdate.moc"
