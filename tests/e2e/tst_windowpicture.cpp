#include "e2eharness.h"
#include "fixtures.h"
#include "updaterprocess.h"
#include "xvfbdisplay.h"

#include <QDir>
#include <QImage>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <algorithm>

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

namespace {

quint32 headerField(const QByteArray &data, int index)
{
    return qFromBigEndian<quint32>(data.constData() + index * 4);
}

// Reads an XWD dump of a TrueColor window (what xwd writes for a 24-bit Xvfb screen): the header
// is big-endian, the pixels follow in the byte order the header names.
QImage readXwd(const QByteArray &data, QString *error)
{
    if (data.size() < 100) {
        *error = QStringLiteral("no XWD header");
        return QImage();
    }
    const quint32 headerSize = headerField(data, 0);
    const quint32 format = headerField(data, 2);
    const int width = int(headerField(data, 4));
    const int height = int(headerField(data, 5));
    const quint32 byteOrder = headerField(data, 7);
    const quint32 bitsPerPixel = headerField(data, 11);
    const quint32 bytesPerLine = headerField(data, 12);
    const quint32 masks[3] = {headerField(data, 14), headerField(data, 15), headerField(data, 16)};
    const quint32 colours = headerField(data, 19);
    const qint64 pixelsAt = qint64(headerSize) + qint64(colours) * 12;
    if (format != 2 || bitsPerPixel != 32 || width <= 0 || height <= 0
        || pixelsAt + qint64(bytesPerLine) * height > data.size()) {
        *error = QStringLiteral("unexpected XWD layout: format %1, %2 bits, %3x%4")
                     .arg(format)
                     .arg(bitsPerPixel)
                     .arg(width)
                     .arg(height);
        return QImage();
    }
    const auto channel = [](quint32 pixel, quint32 mask) {
        int shift = 0;
        while (mask && !(mask & 1)) {
            mask >>= 1;
            ++shift;
        }
        return int(((pixel >> shift) & mask) * 255 / (mask ? mask : 1));
    };
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        const char *line = data.constData() + pixelsAt + qint64(y) * bytesPerLine;
        for (int x = 0; x < width; ++x) {
            const quint32 pixel = byteOrder == 0 ? qFromLittleEndian<quint32>(line + x * 4)
                                                 : qFromBigEndian<quint32>(line + x * 4);
            image.setPixel(
                x, y,
                qRgb(channel(pixel, masks[0]), channel(pixel, masks[1]), channel(pixel, masks[2])));
        }
    }
    return image;
}

bool isInk(QRgb pixel)
{
    return qGray(pixel) < 110;
}

struct Band
{
    int top;
    int bottom; // exclusive
};

// Runs of rows within [top, bottom) and [left, right) that hold ink: one per line of text.
QList<Band> inkBands(const QImage &image, int top, int bottom, int left, int right)
{
    QList<Band> bands;
    int start = -1;
    for (int y = top; y <= bottom; ++y) {
        bool ink = false;
        for (int x = left; y < bottom && x < right && !ink; ++x)
            ink = isInk(image.pixel(x, y));
        if (ink && start < 0)
            start = y;
        if (!ink && start >= 0) {
            bands.append({start, y});
            start = -1;
        }
    }
    return bands;
}

// The bounding boxes (width, height) of the 8-connected ink shapes in a band: one per glyph,
// mostly. Real letters differ in size; the boxes drawn for missing glyphs are all alike.
QList<QSize> glyphBoxes(const QImage &image, const Band &band, int left, int right)
{
    const int width = right - left;
    const int height = band.bottom - band.top;
    QList<bool> seen(width * height, false);
    QList<QSize> boxes;
    for (int y0 = 0; y0 < height; ++y0) {
        for (int x0 = 0; x0 < width; ++x0) {
            if (seen[y0 * width + x0] || !isInk(image.pixel(left + x0, band.top + y0)))
                continue;
            int minX = x0, maxX = x0, minY = y0, maxY = y0;
            QList<QPoint> stack{QPoint(x0, y0)};
            seen[y0 * width + x0] = true;
            while (!stack.isEmpty()) {
                const QPoint p = stack.takeLast();
                minX = std::min(minX, p.x());
                maxX = std::max(maxX, p.x());
                minY = std::min(minY, p.y());
                maxY = std::max(maxY, p.y());
                for (int dy = -1; dy <= 1; ++dy) {
                    for (int dx = -1; dx <= 1; ++dx) {
                        const int x = p.x() + dx;
                        const int y = p.y() + dy;
                        if (x < 0 || y < 0 || x >= width || y >= height || seen[y * width + x]
                            || !isInk(image.pixel(left + x, band.top + y)))
                            continue;
                        seen[y * width + x] = true;
                        stack.append(QPoint(x, y));
                    }
                }
            }
            boxes.append(QSize(maxX - minX + 1, maxY - minY + 1));
        }
    }
    return boxes;
}

// The tallest run of rows that are mostly pure white: the log's text area.
Band logArea(const QImage &image)
{
    Band best{0, 0};
    int start = -1;
    for (int y = 0; y <= image.height(); ++y) {
        int white = 0;
        for (int x = 0; y < image.height() && x < image.width(); ++x)
            white += image.pixel(x, y) == qRgb(255, 255, 255) ? 1 : 0;
        const bool mostlyWhite = white > image.width() * 6 / 10;
        if (mostlyWhite && start < 0)
            start = y;
        if (!mostlyWhite && start >= 0) {
            if (y - start > best.bottom - best.top)
                best = {start, y};
            start = -1;
        }
    }
    return best;
}

int distinctShapes(const QList<QSize> &boxes)
{
    QSet<quint64> shapes;
    for (const QSize &box : boxes)
        shapes.insert(quint64(box.width()) << 32 | quint64(box.height()));
    return int(shapes.size());
}

QString describe(const QList<QSize> &boxes)
{
    QStringList parts;
    for (const QSize &box : boxes)
        parts << QStringLiteral("%1x%2").arg(box.width()).arg(box.height());
    return parts.join(QLatin1Char(' '));
}

} // namespace

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
    if (phase == QLatin1String("installing")) {
        QVERIFY(writePayload(payloadDir, clientLog));
        // A client that keeps the update waiting while the picture is taken, under a name that
        // the update's end of Orvalink.exe processes does not reach.
        const QString image = temp.filePath(QStringLiteral("running/client-2.4.1"));
        QVERIFY(writeExecutable(image, fakeClientScript(QStringLiteral("2.4.1"), clientLog)));
        client.start(image, {QStringLiteral("--stay"), QStringLiteral("6")});
        QVERIFY(client.waitForStarted());
        arguments << QStringLiteral("--wait-pid") << QString::number(client.processId());
    }
    // In the failed phase the payload does not exist, which fails the installation.

    UpdaterProcess updater;
    updater.setDisplay(display.display());
    updater.setWorkingDirectory(temp.path());
    QVERIFY2(updater.start(arguments, &error), qPrintable(error));

    // Captured again and again until the log holds the lines of the phase (the window is up a
    // moment after the start; the failure shows 1.2 s later), so a slow machine only waits longer.
    const QString dump = temp.filePath(QStringLiteral("window.xwd"));
    QImage picture;
    QString output;
    waitUntil(
        [&] {
            if (!runCommand(QStringLiteral("xwd"),
                            {QStringLiteral("-display"), display.display(), QStringLiteral("-name"),
                             QStringLiteral("Orvalink Updater"), QStringLiteral("-silent"),
                             QStringLiteral("-out"), dump},
                            &output))
                return false;
            picture = readXwd(readFile(dump), &error);
            if (picture.isNull())
                return false;
            const Band log = logArea(picture);
            return inkBands(picture, log.top, log.bottom, 10, picture.width() - 10).size()
                   >= minimumLogLines;
        },
        15000);
    QVERIFY2(!picture.isNull(),
             qPrintable(QStringLiteral("no picture: ") + error + output + updater.output()));
    const QString png =
        QDir(artifactDir()).filePath(QStringLiteral("updater-window-%1.png").arg(phase));
    QVERIFY(picture.save(png));
    qInfo("window picture: %s", qPrintable(png));

    if (phase == QLatin1String("installing")) {
        QVERIFY2(updater.waitForExit(30000), "the update did not end");
        QCOMPARE(updater.exitCode(), 0);
        QVERIFY(client.waitForFinished(10000));
    } else {
        QVERIFY2(updater.isRunning(), "a failed update must keep its window open");
        updater.kill();
    }

    // Not blank: most of a dialog is its background, but the texts and frames leave plenty else.
    QHash<QRgb, int> counts;
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x)
            ++counts[picture.pixel(x, y)];
    const int area = picture.width() * picture.height();
    const int background = *std::max_element(counts.cbegin(), counts.cend());
    QVERIFY2(counts.size() >= 16, qPrintable(QStringLiteral("only %1 colours").arg(counts.size())));
    QVERIFY2(area - background > area / 50, "the picture is almost one colour");

    // The heading, "Установка обновления", is the first line of ink from the top.
    const int margin = 10;
    const QList<Band> lines =
        inkBands(picture, 0, picture.height() / 3, margin, picture.width() - margin);
    QVERIFY2(!lines.isEmpty(), "no text in the upper part of the window");
    const QList<QSize> heading =
        glyphBoxes(picture, lines.first(), margin, picture.width() - margin);
    QVERIFY2(heading.size() >= 15 && heading.size() <= 24,
             qPrintable(QStringLiteral("%1 glyphs in the heading: %2")
                            .arg(heading.size())
                            .arg(describe(heading))));
    QVERIFY2(distinctShapes(heading) >= 5,
             qPrintable(QStringLiteral("the heading's glyphs look alike: ") + describe(heading)));

    // The log: its lines of text inside the white area.
    const Band log = logArea(picture);
    QVERIFY2(log.bottom - log.top > 40, "no log area found");
    const QList<Band> logLines =
        inkBands(picture, log.top, log.bottom, margin, picture.width() - margin);
    qInfo("%d log lines, heading %s", int(logLines.size()), qPrintable(describe(heading)));
    QVERIFY2(logLines.size() >= minimumLogLines,
             qPrintable(QStringLiteral("%1 lines of text in the log").arg(logLines.size())));
    const QList<QSize> firstLogLine =
        glyphBoxes(picture, logLines.first(), margin, picture.width() - margin);
    QVERIFY2(distinctShapes(firstLogLine) >= 5,
             qPrintable(QStringLiteral("the log's glyphs look alike: ") + describe(firstLogLine)));
}

QTEST_MAIN(TestWindowPicture)
#include "tst_windowpicture.moc"
