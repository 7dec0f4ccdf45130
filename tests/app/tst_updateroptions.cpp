#include "app/commandline.h"

#include <QtTest>

using Updater::UpdaterOptions;

class TestUpdaterOptions : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void argumentValue_data();
    void argumentValue();
};

namespace {
const QString program = QStringLiteral("C:/Orvalink/OrvalinkUpdater.exe");
}

void TestUpdaterOptions::parse_data()
{
    // A table reads best one row to a line, which the formatter would not keep.
    // clang-format off
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("manifestUrl");
    QTest::addColumn<QString>("offlineRoot");
    QTest::addColumn<QString>("installDir");
    QTest::addColumn<QString>("currentVersion");
    QTest::addColumn<QString>("channel");
    QTest::addColumn<qint64>("waitPid");
    QTest::addColumn<bool>("complete");

    const QString url = QStringLiteral("https://u.example/m.json");
    QTest::newRow("no arguments") << QStringList{program} << "" << "" << "" << "" << "" << qint64(0) << false;
    QTest::newRow("offline, no manifest url")
        << QStringList{program, "--offline-payload-root", "D:/p", "--install-dir", "C:/O", "--current-version", "2.1"}
        << "" << "D:/p" << "C:/O" << "2.1" << "" << qint64(0) << true;
    QTest::newRow("online without current version")
        << QStringList{program, "--manifest-url", url, "--install-dir", "C:/O"}
        << url << "" << "C:/O" << "" << "" << qint64(0) << false;
    QTest::newRow("install dir as last argument")
        << QStringList{program, "--manifest-url", url, "--current-version", "2.1", "--install-dir"}
        << url << "" << "" << "2.1" << "" << qint64(0) << false;
    QTest::newRow("joined form is ignored")
        << QStringList{program, "--manifest-url", url, "--install-dir=C:/O", "--current-version", "2.1"}
        << url << "" << "" << "2.1" << "" << qint64(0) << false;
    QTest::newRow("option name taken as value")
        << QStringList{program, "--manifest-url", url, "--install-dir", "--current-version", "2.1"}
        << url << "" << "--current-version" << "2.1" << "" << qint64(0) << true;
    QTest::newRow("first channel wins")
        << QStringList{program, "--channel", "beta", "--channel", "stable"}
        << "" << "" << "" << "" << "beta" << qint64(0) << false;
    QTest::newRow("other letter case is not an option")
        << QStringList{program, "--Install-Dir", "C:/O", "--MANIFEST-URL", url}
        << "" << "" << "" << "" << "" << qint64(0) << false;
    QTest::newRow("values kept verbatim")
        << QStringList{program, "--manifest-url", " u ", "--install-dir", "C:\\O\\..\\", "--current-version", " "}
        << " u " << "" << "C:\\O\\..\\" << " " << "" << qint64(0) << true;
    QTest::newRow("empty current version is absent")
        << QStringList{program, "--manifest-url", url, "--install-dir", "C:/O", "--current-version", ""}
        << url << "" << "C:/O" << "" << "" << qint64(0) << false;
    QTest::newRow("wait pid decimal") << QStringList{program, "--wait-pid", "4242"} << "" << "" << "" << "" << "" << qint64(4242) << false;
    QTest::newRow("wait pid letters") << QStringList{program, "--wait-pid", "abc"} << "" << "" << "" << "" << "" << qint64(0) << false;
    QTest::newRow("wait pid hex") << QStringList{program, "--wait-pid", "0x10"} << "" << "" << "" << "" << "" << qint64(0) << false;
    QTest::newRow("wait pid without value") << QStringList{program, "--wait-pid"} << "" << "" << "" << "" << "" << qint64(0) << false;
    QTest::newRow("wait pid negative") << QStringList{program, "--wait-pid", "-5"} << "" << "" << "" << "" << "" << qint64(-5) << false;
    QTest::newRow("wait pid beyond 64 bits") << QStringList{program, "--wait-pid", "99999999999999999999"} << "" << "" << "" << "" << "" << qint64(0) << false;
    QTest::newRow("wait pid above 32 bits") << QStringList{program, "--wait-pid", "8589934593"} << "" << "" << "" << "" << "" << qint64(8589934593LL) << false;
    // clang-format on
}

void TestUpdaterOptions::parse()
{
    QFETCH(QStringList, arguments);
    const UpdaterOptions options = Updater::parseOptions(arguments);
    QTEST(options.manifestUrl, "manifestUrl");
    QTEST(options.offlinePayloadRoot, "offlineRoot");
    QTEST(options.installDir, "installDir");
    QTEST(options.currentVersion, "currentVersion");
    QTEST(options.channel, "channel");
    QTEST(options.waitPid, "waitPid");
    QTEST(Updater::optionsAreComplete(options), "complete");
}

void TestUpdaterOptions::argumentValue_data()
{
    // A table reads best one row to a line, which the formatter would not keep.
    // clang-format off
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("value");

    QTest::newRow("program path takes part in the scan")
        << QStringList{"--channel", "beta"} << "--channel" << "beta";
    QTest::newRow("value that is another option") << QStringList{program, "--channel", "--wait-pid", "7"}
                                                   << "--wait-pid" << "7";
    QTest::newRow("missing") << QStringList{program} << "--channel" << "";
    // clang-format on
}

void TestUpdaterOptions::argumentValue()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, name);
    QTEST(Updater::argumentValue(arguments, name), "value");
}

QTEST_APPLESS_MAIN(TestUpdaterOptions)
#include "tst_updateroptions.moc"
