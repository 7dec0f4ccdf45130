#include "ui/updaterwindow.h"

#include <QLabel>
#include <QMetaMethod>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>

using Updater::UpdaterWindow;

// The window's construction, its three report slots and how it can be closed.
class TestUpdaterWindow : public QObject
{
    Q_OBJECT

private slots:
    void metaObject();
    void initialState();
    void stageReports_data();
    void stageReports();
    void detailLeavesStageAndBar();
    void closeButtonDisabledButEscapeCloses();
    void destroyedWithoutWorkerThread();

private:
    static Updater::UpdaterOptions options();
};

namespace {

QLabel *labelWithText(QWidget *window, const QString &prefix)
{
    for (QLabel *label : window->findChildren<QLabel *>()) {
        if (label->text().startsWith(prefix))
            return label;
    }
    return nullptr;
}

QStringList logLines(QWidget *window)
{
    const QString text = window->findChild<QPlainTextEdit *>()->toPlainText();
    return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
}

} // namespace

Updater::UpdaterOptions TestUpdaterWindow::options()
{
    Updater::UpdaterOptions options;
    options.manifestUrl = QStringLiteral("http://127.0.0.1:1/manifest.json");
    options.installDir = QStringLiteral("/nonexistent/Orvalink");
    options.currentVersion = QStringLiteral("2.4.1 %1");
    return options;
}

void TestUpdaterWindow::metaObject()
{
    const QMetaObject &meta = UpdaterWindow::staticMetaObject;
    QCOMPARE(meta.className(), "Updater::UpdaterWindow");
    QCOMPARE(meta.superClass(), &QDialog::staticMetaObject);
    QCOMPARE(meta.propertyCount(), meta.propertyOffset());

    QStringList own;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
        const QMetaMethod method = meta.method(i);
        QCOMPARE(method.methodType(), QMetaMethod::Slot);
        QCOMPARE(method.access(), QMetaMethod::Private);
        own << QString::fromLatin1(method.methodSignature()) + QLatin1Char('|')
                   + QString::fromLatin1(method.parameterNames().join(','));
    }
    QCOMPARE(own, QStringList(
                      {QStringLiteral("onStageChanged(QString,int)|text,progressValue"),
                       QStringLiteral("onDetailAppended(QString)|text"),
                       QStringLiteral("onWorkerFinished(bool,QString)|success,errorOrVersion")}));
}

void TestUpdaterWindow::initialState()
{
    UpdaterWindow window(options());
    QCOMPARE(window.windowTitle(), QStringLiteral("Orvalink Updater"));
    QCOMPARE(window.minimumSize(), QSize(560, 360));
    QVERIFY(window.isModal());

    QLabel *heading = labelWithText(&window, QStringLiteral("Установка обновления"));
    QVERIFY(heading);
    QCOMPARE(heading->styleSheet(), QStringLiteral("font-size: 20px; font-weight: 700;"));
    // The current version is substituted once, so a marker inside it stays as it is.
    QVERIFY(labelWithText(&window, QStringLiteral("Текущая версия: 2.4.1 %1")));
    QVERIFY(labelWithText(&window, QStringLiteral("Подготовка...")));

    auto *bar = window.findChild<QProgressBar *>();
    QCOMPARE(bar->minimum(), 0);
    QCOMPARE(bar->maximum(), 100);
    QCOMPARE(bar->value(), 0);
    auto *log = window.findChild<QPlainTextEdit *>();
    QVERIFY(log->isReadOnly());
    QVERIFY(log->toPlainText().isEmpty());
    auto *button = window.findChild<QPushButton *>();
    QCOMPARE(button->text(), QStringLiteral("Закрыть"));
    QVERIFY(!button->isEnabled());
}

void TestUpdaterWindow::stageReports_data()
{
    QTest::addColumn<QList<int>>("values");
    QTest::addColumn<int>("bar");
    QTest::newRow("value taken") << QList<int>{72} << 72;
    QTest::newRow("negative keeps the bar") << QList<int>{80, -1} << 80;
    QTest::newRow("zero is a value") << QList<int>{80, 0} << 0;
    QTest::newRow("bar may step back") << QList<int>{75, 72} << 72;
}

void TestUpdaterWindow::stageReports()
{
    QFETCH(QList<int>, values);
    UpdaterWindow window(options());
    for (int value : values)
        QVERIFY(QMetaObject::invokeMethod(&window, "onStageChanged",
                                          Q_ARG(QString, QStringLiteral("Очистка")),
                                          Q_ARG(int, value)));
    QTEST(window.findChild<QProgressBar *>()->value(), "bar");
    QVERIFY(labelWithText(&window, QStringLiteral("Очистка")));
    // The same stage twice is logged twice.
    QCOMPARE(logLines(&window), QStringList(values.size(), QStringLiteral("Очистка")));
}

void TestUpdaterWindow::detailLeavesStageAndBar()
{
    UpdaterWindow window(options());
    QMetaObject::invokeMethod(&window, "onStageChanged",
                              Q_ARG(QString, QStringLiteral("Применение обновления")),
                              Q_ARG(int, 80));
    QMetaObject::invokeMethod(&window, "onDetailAppended",
                              Q_ARG(QString, QStringLiteral("Завершение процессов...")));
    QVERIFY(labelWithText(&window, QStringLiteral("Применение обновления")));
    QCOMPARE(window.findChild<QProgressBar *>()->value(), 80);
    QCOMPARE(logLines(&window), QStringList({QStringLiteral("Применение обновления"),
                                             QStringLiteral("Завершение процессов...")}));
}

void TestUpdaterWindow::closeButtonDisabledButEscapeCloses()
{
    // No event is processed here, so the scheduled update never starts and the button stays in
    // its initial, disabled state.
    UpdaterWindow window(options());
    window.show();
    auto *button = window.findChild<QPushButton *>();
    QTest::mouseClick(button, Qt::LeftButton);
    QVERIFY(window.isVisible());

    QTest::keyClick(&window, Qt::Key_Escape);
    QVERIFY(!window.isVisible());
}

void TestUpdaterWindow::destroyedWithoutWorkerThread()
{
    QElapsedTimer timer;
    timer.start();
    {
        UpdaterWindow window(options());
    }
    QVERIFY(timer.elapsed() < 1000);
}

QTEST_MAIN(TestUpdaterWindow)
#include "tst_updaterwindow.moc"
