#include "app/startup.h"
#include "testfiles.h"
#include "xvfbdisplay.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

// The entry logic run in-process, with the modal dialogs answered from a timer, and the built
// program run under a virtual X server where a real key press dismisses its message box.
class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void incompleteOptions_data();
    void incompleteOptions();
    void completeOptionsOpenWindow();
    void builtProgramExitsWithOneAfterReturn_data();
    void builtProgramExitsWithOneAfterReturn();
};

namespace {

struct SeenBox
{
    bool seen = false;
    QString title;
    QString text;
    QMessageBox::StandardButtons buttons;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    bool hasParent = true;
};

// Polls for the modal message box, records what it shows and presses Return on it.
void answerMessageBoxWithReturn(SeenBox *seen)
{
    auto *timer = new QTimer(qApp);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, seen] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        seen->seen = true;
        seen->title = box->windowTitle();
        seen->text = box->text();
        seen->buttons = box->standardButtons();
        seen->icon = box->icon();
        seen->hasParent = box->parentWidget() != nullptr;
        QTest::keyClick(box, Qt::Key_Return);
        timer->deleteLater();
    });
    timer->start(20);
}

} // namespace

void TestStartup::incompleteOptions_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("nothing") << QStringList{QStringLiteral("updater")};
    QTest::newRow("joined install dir") << QStringList{QStringLiteral("updater"),
                                                       QStringLiteral("--manifest-url"),
                                                       QStringLiteral("http://127.0.0.1:1/m"),
                                                       QStringLiteral("--install-dir=/tmp/x"),
                                                       QStringLiteral("--current-version"),
                                                       QStringLiteral("2.0")};
    QTest::newRow("no current version")
        << QStringList{QStringLiteral("updater"), QStringLiteral("--manifest-url"),
                       QStringLiteral("http://127.0.0.1:1/m"), QStringLiteral("--install-dir"),
                       QStringLiteral("/tmp/x")};
}

void TestStartup::incompleteOptions()
{
    QFETCH(QStringList, arguments);
    SeenBox seen;
    answerMessageBoxWithReturn(&seen);

    const int exitCode = Updater::runUpdater(arguments);

    QCOMPARE(exitCode, 1);
    QVERIFY(seen.seen);
    QCOMPARE(seen.title, QStringLiteral("Orvalink Updater"));
    QCOMPARE(seen.text, QStringLiteral("Missing required updater arguments."));
    QCOMPARE(seen.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(seen.icon, QMessageBox::Critical);
    QVERIFY(!seen.hasParent);
    QVERIFY(QApplication::topLevelWidgets().isEmpty() || !QApplication::activeModalWidget());
}

void TestStartup::completeOptionsOpenWindow()
{
    // A port nobody listens on: the manifest check fails at once and the window waits.
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    const quint16 port = probe.serverPort();
    probe.close();

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QStringList arguments{QStringLiteral("updater"),
                                QStringLiteral("--manifest-url"),
                                QStringLiteral("http://127.0.0.1:%1/manifest.json").arg(port),
                                QStringLiteral("--install-dir"),
                                dir.filePath(QStringLiteral("Orvalink")),
                                QStringLiteral("--current-version"),
                                QStringLiteral("2.4.1")};

    QString title;
    QPointer<QWidget> window;
    auto *timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, [&] {
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            if (widget->isVisible() && widget->inherits("Updater::UpdaterWindow")) {
                window = widget;
                title = widget->windowTitle();
                widget->close();
                timer->stop();
            }
        }
    });
    timer->start(20);

    const int exitCode = Updater::runUpdater(arguments);
    delete timer;

    QCOMPARE(exitCode, 0);
    QCOMPARE(title, QStringLiteral("Orvalink Updater"));
    QVERIFY(window.isNull()); // destroyed when the entry returned
}

void TestStartup::builtProgramExitsWithOneAfterReturn_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("no arguments") << QStringList{};
    QTest::newRow("joined install dir")
        << QStringList{QStringLiteral("--manifest-url"), QStringLiteral("http://127.0.0.1:1/m"),
                       QStringLiteral("--install-dir=/tmp/orvalink"),
                       QStringLiteral("--current-version"), QStringLiteral("2.0")};
}

void TestStartup::builtProgramExitsWithOneAfterReturn()
{
    QFETCH(QStringList, arguments);
    const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    const QString xdotool = QStandardPaths::findExecutable(QStringLiteral("xdotool"));
    if (xvfb.isEmpty() || xdotool.isEmpty())
        QSKIP("Xvfb and xdotool are needed to press a key in a real window");

    QTemporaryDir state;
    QVERIFY(state.isValid());
    TestSupport::XvfbDisplay server;
    QString error;
    QVERIFY2(server.start(state.path(), &error), qPrintable(error));
    const QString display = server.display();

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), display);
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));

    QProcess updater;
    updater.setProcessEnvironment(environment);
    updater.start(qEnvironmentVariable("UPDATER_BIN_DIR") + QStringLiteral("/OrvalinkUpdater"),
                  arguments);
    QVERIFY(updater.waitForStarted());

    // Find the box by its title, then type Return into it as a person would.
    const auto xdotoolRun = [&](const QStringList &xdotoolArguments) {
        QProcess run;
        run.setProcessEnvironment(environment);
        run.setProcessChannelMode(QProcess::MergedChannels);
        run.start(xdotool, xdotoolArguments);
        run.waitForFinished(TestSupport::eventDeadlineMs);
        return QString::fromLocal8Bit(run.readAll()).trimmed();
    };
    QString windowId;
    QString searched;
    const bool found = TestSupport::waitUntil([&] {
        searched = xdotoolRun({QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                               QStringLiteral("--name"), QStringLiteral("^Orvalink Updater$")});
        windowId = searched.section(QLatin1Char('\n'), 0, 0).trimmed();
        return !windowId.isEmpty() || updater.state() == QProcess::NotRunning;
    });
    QVERIFY2(found && !windowId.isEmpty(),
             qPrintable(QStringLiteral("no visible window titled \"Orvalink Updater\" on %1; the "
                                       "updater is %2; xdotool said: %3")
                            .arg(display,
                                 updater.state() == QProcess::Running ? QStringLiteral("running")
                                                                      : QStringLiteral("gone"),
                                 searched)));

    // No window manager runs here: focus the box directly, then type through XTEST, until the
    // program has ended.
    const bool ended = TestSupport::waitUntil([&] {
        xdotoolRun({QStringLiteral("windowfocus"), QStringLiteral("--sync"), windowId});
        xdotoolRun({QStringLiteral("key"), QStringLiteral("Return")});
        // waitForFinished() is false once the process has already ended, so ask the state.
        return updater.waitForFinished(1000) || updater.state() == QProcess::NotRunning;
    });
    QVERIFY2(ended, qPrintable(QStringLiteral("the updater still runs after Return was typed into "
                                              "window %1")
                                   .arg(windowId)));
    QCOMPARE(updater.exitStatus(), QProcess::NormalExit);
    QCOMPARE(updater.exitCode(), 1);
}

QTEST_MAIN(TestStartup)
#include "tst_startup.moc"
