#include "e2eharness.h"
#include "filesystemfaults.h"
#include "fixtures.h"
#include "nginxserver.h"
#include "treesnapshot.h"
#include "ui/updaterwindow.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPlainTextEdit>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include <unistd.h>

using namespace E2e;

// Updates whose working area (the folder that holds the installation) is a small tmpfs: each runs
// out of room at another step and must fail there with a message that says so, leaving the
// installation as it was. The window runs in this process so that its log can be read.
class TestFullDisk : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void runsOutOfRoom_data();
    void runsOutOfRoom();

private:
    QTemporaryDir m_temp;
    std::unique_ptr<NginxServer> m_server;
    int m_rowCount = 0;
};

namespace {

QStringList logLines(const QWidget &window)
{
    return window.findChild<QPlainTextEdit *>()->toPlainText().split(QLatin1Char('\n'));
}

} // namespace

void TestFullDisk::initTestCase()
{
    QVERIFY(m_temp.isValid());
    if (geteuid() != 0)
        QSKIP("mounting a tmpfs needs root");
    FileSystemFaults probe;
    QString error;
    if (!probe.mountTmpfs(m_temp.filePath(QStringLiteral("probe")), QStringLiteral("1M"), &error))
        QSKIP(qPrintable(QStringLiteral("cannot mount a tmpfs here: ") + error));
    probe.undoAll();

    // The worker finds the stand-in for taskkill on the PATH too.
    qputenv("PATH", (binDir() + QLatin1Char(':')).toLocal8Bit() + qgetenv("PATH"));
    m_server = std::make_unique<NginxServer>(m_temp.filePath(QStringLiteral("nginx")));
    QVERIFY2(m_server->start(&error), qPrintable(error));
}

void TestFullDisk::runsOutOfRoom_data()
{
    QTest::addColumn<qint64>("areaSize");
    // "random:N" serves a package of N random bytes; "letters:N" one file of N letters, which
    // packs small and unpacks large; "offline:N" uses a payload folder in the working area with a
    // file of N bytes.
    QTest::addColumn<QString>("source");
    // A config of this many bytes that cannot be renamed, so that the payload is written in place
    // around it.
    QTest::addColumn<int>("lockedConfigSize");
    QTest::addColumn<QString>("failingStage");
    QTest::addColumn<QString>("laterStage");
    QTest::addColumn<QString>("message");

    const QString noSpace = QStringLiteral("No space left on device");
    QTest::newRow("download") << qint64(1 << 20) << QStringLiteral("random:2000000") << 0
                              << QStringLiteral("Загрузка пакета")
                              << QStringLiteral("Установка обновления...") << noSpace;
    // Refused before anything is written, for the room the package says it needs.
    QTest::newRow("extraction") << qint64(2 << 20) << QStringLiteral("letters:6000000") << 0
                                << QStringLiteral("Распаковка пакета")
                                << QStringLiteral("Применение обновления")
                                << QStringLiteral(
                                       "^Failed to extract package: it needs 6 MB of free "
                                       "disk space, and [0-9]+ MB are free\\.$");
    QTest::newRow("writing in place")
        << qint64(1 << 20) << QStringLiteral("offline:300000") << 600000
        << QStringLiteral("Копирование файлов") << QStringLiteral("Очистка")
        << QStringLiteral("^Could not copy big\\.bin$");
}

void TestFullDisk::runsOutOfRoom()
{
    QFETCH(qint64, areaSize);
    QFETCH(QString, source);
    QFETCH(int, lockedConfigSize);
    QFETCH(QString, failingStage);
    QFETCH(QString, laterStage);
    QFETCH(QString, message);

    const QString rowDir = m_temp.filePath(QStringLiteral("row%1").arg(++m_rowCount));
    const QString area = QDir(rowDir).filePath(QStringLiteral("area"));
    FileSystemFaults mounts;
    QString error;
    QVERIFY2(mounts.mountTmpfs(area, QString::number(areaSize), &error), qPrintable(error));

    const QString installDir = QDir(area).filePath(QStringLiteral("Orvalink"));
    const QString clientLog = QDir(rowDir).filePath(QStringLiteral("client.log"));
    QVERIFY(writeInstallation(installDir, clientLog,
                              QDir(rowDir).filePath(QStringLiteral("outside-data"))));
    if (lockedConfigSize > 0) {
        QVERIFY(writeFile(QDir(installDir).filePath(QStringLiteral("config/big.dat")),
                          QByteArray(lockedConfigSize, 'c')));
        QVERIFY2(mounts.bindOntoItself(QDir(installDir).filePath(QStringLiteral("config")), &error),
                 qPrintable(error));
    }

    Updater::UpdaterOptions options;
    options.installDir = installDir;
    options.currentVersion = QStringLiteral("2.4.1");
    const QString kind = source.section(QLatin1Char(':'), 0, 0);
    const int size = source.section(QLatin1Char(':'), 1).toInt();
    if (kind == QLatin1String("offline")) {
        options.offlinePayloadRoot = QDir(area).filePath(QStringLiteral("drop/payload"));
        QVERIFY(writePayload(options.offlinePayloadRoot, clientLog));
        QVERIFY(writeFile(options.offlinePayloadRoot + QStringLiteral("/data/big.bin"),
                          QByteArray(size, 'b')));
    } else {
        const QString tag = QStringLiteral("r%1").arg(m_rowCount);
        const QString www = QDir(m_server->wwwDir()).filePath(tag);
        const QString package = QDir(www).filePath(QStringLiteral("package.zip"));
        if (kind == QLatin1String("random")) {
            QByteArray bytes(size, Qt::Uninitialized);
            QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(bytes.data()),
                                                  size / 4);
            QVERIFY(writeFile(package, bytes));
        } else {
            const QString packing = QDir(rowDir).filePath(QStringLiteral("packing"));
            QVERIFY(writeFile(QDir(packing).filePath(QStringLiteral("letters.txt")),
                              QByteArray(size, 'a')));
            QVERIFY2(zipTree(packing, package, &error), qPrintable(error));
        }
        const QJsonObject manifest{{QStringLiteral("version"), QStringLiteral("3.0.0")},
                                   {QStringLiteral("package_url"),
                                    m_server->httpUrl(QStringLiteral("/%1/package.zip").arg(tag))},
                                   {QStringLiteral("package_hash"), sha256OfFile(package)}};
        QVERIFY(writeFile(QDir(www).filePath(QStringLiteral("manifest.json")),
                          QJsonDocument(manifest).toJson()));
        options.manifestUrl = m_server->httpUrl(QStringLiteral("/%1/manifest.json").arg(tag));
    }
    const TreeSnapshot before = TreeSnapshot::take(installDir);

    QStringList lines;
    {
        Updater::UpdaterWindow window(options);
        window.show();
        const bool ended = waitUntil(
            [&] {
                return !window.isVisible()
                       || logLines(window).contains(QStringLiteral("Ошибка обновления"));
            },
            60000);
        lines = logLines(window);
        QVERIFY2(ended, qPrintable(lines.join(QLatin1Char('\n'))));
        QVERIFY2(window.isVisible(),
                 qPrintable(QStringLiteral("the update succeeded on a full disk:\n")
                            + lines.join(QLatin1Char('\n'))));
    }
    qInfo("%s", qPrintable(lines.join(QStringLiteral(" | "))));

    const QString shown = lines.join(QLatin1Char('\n'));
    const qsizetype failure = lines.indexOf(QStringLiteral("Ошибка обновления"));
    QVERIFY2(lines.mid(0, failure).contains(failingStage), qPrintable(shown));
    QVERIFY2(!lines.contains(laterStage), qPrintable(shown));
    // The message is all that follows.
    const QString shownError = lines.mid(failure + 1).join(QLatin1Char('\n')).trimmed();
    QVERIFY2(QRegularExpression(message).match(shownError).hasMatch(),
             qPrintable(QStringLiteral("unclear message: ") + shownError));

    const QStringList changes = before.differences(TreeSnapshot::take(installDir));
    QVERIFY2(changes.isEmpty(), qPrintable(changes.join(QLatin1Char('\n'))));
    // What filled the disk does not keep it full until some later update.
    QVERIFY(!QFileInfo::exists(QDir(area).filePath(QStringLiteral(".orvalink-update"))));
}

QTEST_MAIN(TestFullDisk)
#include "tst_fulldisk.moc"
