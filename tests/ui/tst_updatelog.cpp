#include "testfiles.h"
#include "ui/updatelog.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

using namespace TestSupport;

// The log file beside the installation: this run after the earlier ones, every line with its
// time, the oldest runs dropped to keep the file within its size.
class TestUpdateLog : public QObject
{
    Q_OBJECT

private slots:
    void runs_data();
    void runs();
};

void TestUpdateLog::runs_data()
{
    QTest::addColumn<QByteArray>("before"); // the file before this run
    QTest::addColumn<int>("maxBytes");
    QTest::addColumn<QStringList>("kept"); // the earlier runs' headers that stay

    const auto run = [](const char *name, int bytes) {
        return "==== " + QByteArray(name) + "\n" + QByteArray(bytes, 'l') + "\n";
    };
    QTest::newRow("first run") << QByteArray() << 1000 << QStringList();
    QTest::newRow("after the earlier runs")
        << run("a", 50) + run("b", 50) << 1000 << QStringList{"==== a", "==== b"};
    QTest::newRow("oldest runs dropped")
        << run("a", 300) + run("b", 250) + run("c", 100) << 600 << QStringList{"==== b", "==== c"};
    QTest::newRow("every earlier run dropped") << run("a", 500) << 600 << QStringList();
    QTest::newRow("foreign text dropped")
        << QByteArray(700, 'f') + "\n" + run("a", 10) << 600 << QStringList{"==== a"};
}

void TestUpdateLog::runs()
{
    QFETCH(QByteArray, before);
    QFETCH(int, maxBytes);
    QFETCH(QStringList, kept);

    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral(".orvalink-update.log"));
    if (!before.isEmpty())
        QVERIFY(writeFile(file, before));
    Updater::UpdateLog log(maxBytes);
    log.append(QStringLiteral("Подготовка")); // before the run has its file
    log.start(file);
    log.append(QStringLiteral("Ошибка\nsecond line"));

    const QByteArray written = readFile(file);
    QVERIFY2(written.size() <= maxBytes, written.constData());
    QStringList lines = QString::fromUtf8(written).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.filter(QRegularExpression("^==== [a-z]$")), kept);
    const qsizetype header =
        lines.indexOf(QRegularExpression("^==== \\S+ Orvalink Updater \\(pid \\d+\\)$"));
    QVERIFY2(header >= 0, written.constData());
    const QRegularExpression stamped("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}"
                                     "(Z|[+-]\\d\\d:\\d\\d) (.*)$");
    QStringList texts;
    for (const QString &line : lines.mid(header + 1))
        texts << stamped.match(line).captured(2);
    QCOMPARE(texts, (QStringList{"Подготовка", "Ошибка", "second line"}));

    // A line that cannot fit even alone is left out; the file stays as it was.
    log.append(QString(maxBytes, QLatin1Char('x')));
    QCOMPARE(readFile(file), written);
}

QTEST_GUILESS_MAIN(TestUpdateLog)
#include "tst_updatelog.moc"
