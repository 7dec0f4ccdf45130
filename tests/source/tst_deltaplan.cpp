#include "source/deltaplan.h"

#include <QtTest>

using namespace Updater;

// The planner over small made-up releases. A file is "path=CONTENT@offset+length" (its zpack
// frame), a patch "version:CONTENT>CONTENT@offset+length" (base to new content, its frame in
// package-from-version), a content a name (1000 bytes; "E" is empty); installed names the
// one-letter contents the installation holds. The zpack is 10000000 bytes, every zpatch 100000.
class TestDeltaPlan : public QObject
{
    Q_OBJECT

private slots:
    void plan_data();
    void plan();
};

namespace {

QString hashOf(const QString &content)
{
    return content.toLower().rightJustified(64, QLatin1Char('0'));
}

DeltaFrame frameOf(const QString &row)
{
    const QStringList parts = row.split(QRegularExpression(QStringLiteral("[@+]")));
    return DeltaFrame{parts.at(1).toLongLong(), parts.at(2).toLongLong(), QString()};
}

DeltaRelease release(const QStringList &files, const QStringList &patches)
{
    DeltaRelease delta;
    delta.zpackUrl = QStringLiteral("z");
    delta.zpackSize = 10000000;
    for (const QString &row : files) {
        const QString content = row.section(QLatin1Char('='), 1).section(QLatin1Char('@'), 0, 0);
        delta.files.append(DeltaFile{row.section(QLatin1Char('='), 0, 0),
                                     content == QLatin1String("E") ? 0 : 1000, hashOf(content),
                                     0644, frameOf(row)});
    }
    for (const QString &row : patches) {
        const QString version = row.section(QLatin1Char(':'), 0, 0);
        auto patch =
            std::find_if(delta.patches.begin(), delta.patches.end(),
                         [&](const DeltaPatchFile &file) { return file.fromVersion == version; });
        if (patch == delta.patches.end()) {
            delta.patches.append(
                DeltaPatchFile{version, QStringLiteral("p-") + version, 100000, QString(), {}});
            patch = delta.patches.end() - 1;
        }
        const QString change = row.section(QLatin1Char(':'), 1).section(QLatin1Char('@'), 0, 0);
        patch->entries.append(
            DeltaPatchEntry{QString(), hashOf(change.section(QLatin1Char('>'), 0, 0)), 1000,
                            hashOf(change.section(QLatin1Char('>'), 1)), frameOf(row)});
    }
    return delta;
}

} // namespace

void TestDeltaPlan::plan_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("patches");
    QTest::addColumn<QString>("installed");
    QTest::addColumn<qint64>("packageSize");
    // Per step "source[:installed content]", and the transfers as "url offset+length".
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("transfers");
    QTest::addColumn<bool>("fullPackage");

    const QStringList tree{QStringLiteral("a.exe=A@0+400"), QStringLiteral("b.dll=B@200000+300"),
                           QStringLiteral("c.txt=E@500000+9"),
                           QStringLiteral("d/b.dll=B@200000+300")};
    const QStringList patches{QStringLiteral("1.0:P>A@0+50"), QStringLiteral("1.0:Q>B@50+60"),
                              QStringLiteral("0.9:R>A@0+80"), QStringLiteral("0.9:Q>B@5000+400")};
    const qint64 large = 100000000;
    QTest::newRow("the same content installed, anywhere: copied")
        << tree << patches << "AB" << large << QStringList{"Installed:A", "Installed:B", "Empty"}
        << QStringList() << false;
    QTest::newRow("nothing installed: frames, one range each")
        << tree << patches << "" << large << QStringList{"Frame", "Frame", "Empty"}
        << QStringList{"z 0+400", "z 200000+300"} << false;
    QTest::newRow("a patch of an installed base")
        << tree << patches << "PB" << large << QStringList{"Patch:P", "Installed:B", "Empty"}
        << QStringList{"p-1.0 0+50"} << false;
    QTest::newRow("the smallest patch of several bases, smaller than the frame")
        << tree << patches << "RPQ" << large << QStringList{"Patch:P", "Patch:Q", "Empty"}
        << QStringList{"p-1.0 0+110"} << false;
    QTest::newRow("a frame smaller than the patch")
        << QStringList{"b.dll=B@0+300"} << QStringList{"0.9:Q>B@5000+400"} << "Q" << large
        << QStringList{"Frame"} << QStringList{"z 0+300"} << false;
    QTest::newRow("frames 64 KiB apart merged, gap included")
        << QStringList{"a=A@0+400", "b=B@65936+100"} << QStringList() << "" << large
        << QStringList{"Frame", "Frame"} << QStringList{"z 0+66036"} << false;
    QTest::newRow("frames further apart fetched apart")
        << QStringList{"a=A@0+400", "b=B@65937+100"} << QStringList() << "" << large
        << QStringList{"Frame", "Frame"} << QStringList{"z 0+400", "z 65937+100"} << false;
    QTest::newRow("three quarters of a file fetched whole")
        << QStringList{"a=A@0+50000", "b=B@200000+50000"}
        << QStringList{"1.0:P>A@0+40000", "1.0:Q>B@50000+25000"} << "PQ" << large
        << QStringList{"Patch:P", "Patch:Q"} << QStringList{"p-1.0 0+100000"} << false;
    QTest::newRow("half of the package moved: still differential")
        << tree << patches << "" << qint64(1400) << QStringList{"Frame", "Frame", "Empty"}
        << QStringList{"z 0+400", "z 200000+300"} << false;
    QTest::newRow("more than half: the package")
        << tree << patches << "" << qint64(1399) << QStringList{"Frame", "Frame", "Empty"}
        << QStringList{"z 0+400", "z 200000+300"} << true;
    QTest::newRow("package size unknown: the package")
        << tree << patches << "AB" << qint64(-1)
        << QStringList{"Installed:A", "Installed:B", "Empty"} << QStringList() << true;

    // 32 ranges are allowed, 33 are not.
    for (const int count : {32, 33}) {
        QStringList files;
        QStringList steps;
        QStringList transfers;
        for (int index = 0; index < count; ++index) {
            const QString offset = QString::number(index * 70000);
            files << QStringLiteral("f%1=F%1@%2+10").arg(index).arg(offset);
            steps << QStringLiteral("Frame");
            transfers << QStringLiteral("z %1+10").arg(offset);
        }
        QTest::addRow("%d ranges", count) << files << QStringList() << "" << large << steps
                                          << transfers << (count > deltaTransferLimit);
    }
}

void TestDeltaPlan::plan()
{
    QFETCH(QStringList, files);
    QFETCH(QStringList, patches);
    QFETCH(QString, installed);
    QFETCH(qint64, packageSize);
    QFETCH(QStringList, steps);
    QFETCH(QStringList, transfers);
    QFETCH(bool, fullPackage);

    InstalledContents contents;
    for (const QChar content : installed)
        contents.insert(hashOf(content), QStringLiteral("/installed/") + content);
    const DeltaPlan plan = planDelta(release(files, patches), contents, packageSize);

    QStringList madeSteps;
    for (const DeltaStep &step : plan.steps) {
        static const QStringList names{"Empty", "Installed", "Patch", "Frame"};
        madeSteps << names.at(int(step.source))
                         + (step.installedPath.isEmpty()
                                ? QString()
                                : QLatin1Char(':') + step.installedPath.right(1));
        // Where the step's frame arrives is where the frame lies in its transfer.
        if (step.transfer >= 0)
            QCOMPARE(plan.transfers.at(step.transfer).offset + step.offsetInTransfer,
                     step.frame.offset);
    }
    QStringList madeTransfers;
    qint64 bytes = 0;
    for (const DeltaTransfer &transfer : plan.transfers) {
        madeTransfers << QStringLiteral("%1 %2+%3")
                             .arg(transfer.url)
                             .arg(transfer.offset)
                             .arg(transfer.length);
        bytes += transfer.length;
    }
    QCOMPARE(madeSteps, steps);
    QCOMPARE(madeTransfers, transfers);
    QCOMPARE(plan.transferBytes, bytes);
    QVERIFY2(plan.fullPackageReason.isEmpty() != fullPackage, qPrintable(plan.fullPackageReason));
}

QTEST_APPLESS_MAIN(TestDeltaPlan)
#include "tst_deltaplan.moc"
