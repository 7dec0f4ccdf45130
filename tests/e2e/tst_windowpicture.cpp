#include "e2eharness.h"
#include "fixtures.h"
#include "updaterprocess.h"
#include "windowpicture.h"
#include "xvfbdisplay.h"

#include <QDir>
#include <QImage>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

using namespace E2e;

// The window as a person sees it: the built updater on its own Xvfb display, captured with xwd
// during a run. The Russian texts must come out as glyphs (not blank, not the boxes drawn for
// missing glyphs) in the heading and in the log. The pictures stay in the build tree's
// e2e-artifacts folder for a human to look at.
class TestWindowPicture : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void windowShowsRussianText_data();
    void windowShowsRussianText();
};

void TestWindowPicture::initTestCase()
{
    QVERIFY2(QFileInfo(updaterPath()).isExecutable(), qPrintable(updaterPath()));
    for (const QString &program : {QStringLiteral("Xvfb"), QStringLiteral("xwd")}) {
        if (QStandardPaths::findExecutable(program).isEmpty())
            QSKIP(qPrintable(program
                             + QStringLiteral(" is not installed (packages xvfb, x11-apps)")));
    }
}

void TestWindowPicture::windowShowsRussianText_data()
{
    // "installing": captured while the update waits for a client that exits late; "failed":
    // captured while the window shows an error and waits for the user.
    QTest::addColumn<QString>("phase");
    QTest::addColumn<int>("minimumLogLines");
    QTest::newRow("installing") << QStringLiteral("installing") << 4;
    QTest::newRow("failed") << QStringLiteral("failed") << 8;
}

void TestWindowPicture::windowShowsRussianText()
{
    QFETCH(QString, phase);
    QFETCH(int, minimumLogLines);

    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    XvfbDisplay display;
    QString error;
    QVERIFY2(display.start(temp.path(), &error), qPrintable(error));

    const QString installDir = temp.filePath(QStringLiteral("Orvalink"));
    const QString payloadDir = temp.filePath(QStringLiteral("drop/payload"));
    const QString clientLog = temp.filePath(QStringLiteral("client.log"));
    QVERIFY(
        writeInstallation(installDir, clientLog, temp.filePath(QStringLiteral("outside-data"))));
    QStringList arguments{QStringLiteral("--offline-payload-root"), payloadDir,
                          QStringLiteral("--install-dir"),          installDir,
                          QStringLiteral("--current-version"),      QStringLiteral("2.4.1")};
    QProcess client;
    const QString clientMayExit = temp.filePath(QStringLiteral("client-may-exit"));
    if (phase == QLatin1String("installing")) {
        QVERIFY(writePayload(payloadDir, clientLog));
        // A client that keeps the update waiting while the picture is taken, under a name that
        // the update's end of Orvalink.exe processes does not reach.
        const QString image = temp.filePath(QStringLiteral("running/client-2.4.1"));
        QVERIFY(writeExecutable(image, fakeClientScript(QStringLiteral("2.4.1"), clientLog)));
        client.start(image, {QStringLiteral("--until"), clientMayExit});
        QVERIFY(client.waitForStarted());
        arguments << QStringLiteral("--wait-pid") << QString::number(client.processId());
    }
    // In the failed phase the payload does not exist, which fails the installation.

    UpdaterProcess updater;
    updater.setDisplay(display.display());
    updater.setWorkingDirectory(temp.path());
    QVERIFY2(updater.start(arguments, &error), qPrintable(error));

    // Captured again and again until the log holds the lines of the phase (the failure shows 1.2 s
    // after the start), so a slow machine only waits longer.
    const QImage picture =
        captureUpdaterWindow(display.display(), minimumLogLines, eventDeadlineMs, &error);
    QVERIFY2(!picture.isNull(),
             qPrintable(QStringLiteral("no picture: ") + error + updater.output()));
    const QString png =
        QDir(artifactDir()).filePath(QStringLiteral("updater-window-%1.png").arg(phase));
    QVERIFY(picture.save(png));
    qInfo("window picture: %s", qPrintable(png));

    if (phase == QLatin1String("installing")) {
        QVERIFY(writeFile(clientMayExit, QByteArray()));
        QVERIFY2(updater.waitForExit(), "the update did not end");
        QCOMPARE(updater.exitCode(), 0);
        QVERIFY(client.waitForFinished(eventDeadlineMs));
    } else {
        QVERIFY2(updater.isRunning(), "a failed update must keep its window open");
        updater.kill();
    }

    const QStringList problems = russianTextProblems(picture, minimumLogLines);
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join(QStringLiteral("; "))));
}

QTEST_MAIN(TestWindowPicture)
#include "tst_windowpicture.moc"
