#include "windowpicture.h"

#include "e2eharness.h"

#include <QDir>
#include <QHash>
#include <QList>
#include <QSet>
#include <QSize>
#include <QTemporaryDir>
#include <QtEndian>

#include <algorithm>

namespace E2e {

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

QImage captureUpdaterWindow(const QString &display, int minimumLogLines, int timeoutMs,
                            QString *error)
{
    QTemporaryDir temp;
    const QString dump = temp.filePath(QStringLiteral("window.xwd"));
    QImage picture;
    QString output;
    waitUntil(
        [&] {
            if (!runCommand(QStringLiteral("xwd"),
                            {QStringLiteral("-display"), display, QStringLiteral("-name"),
                             QStringLiteral("Orvalink Updater"), QStringLiteral("-silent"),
                             QStringLiteral("-out"), dump},
                            &output)) {
                *error = output;
                return false;
            }
            picture = readXwd(readFile(dump), error);
            if (picture.isNull())
                return false;
            const Band log = logArea(picture);
            return inkBands(picture, log.top, log.bottom, 10, picture.width() - 10).size()
                   >= minimumLogLines;
        },
        timeoutMs);
    return picture;
}

QStringList russianTextProblems(const QImage &picture, int minimumLogLines)
{
    // Not blank: most of a dialog is its background, but the texts and frames leave plenty else.
    QHash<QRgb, int> counts;
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x)
            ++counts[picture.pixel(x, y)];
    const int area = picture.width() * picture.height();
    const int background = counts.isEmpty() ? 0 : *std::max_element(counts.cbegin(), counts.cend());
    if (counts.size() < 16)
        return {QStringLiteral("only %1 colours").arg(counts.size())};
    if (area - background <= area / 50)
        return {QStringLiteral("the picture is almost one colour")};

    QStringList problems;
    const int margin = 10;
    const QList<Band> lines =
        inkBands(picture, 0, picture.height() / 3, margin, picture.width() - margin);
    if (lines.isEmpty())
        return {QStringLiteral("no text in the upper part of the window")};
    const QList<QSize> heading =
        glyphBoxes(picture, lines.first(), margin, picture.width() - margin);
    if (heading.size() < 15 || heading.size() > 24)
        problems << QStringLiteral("%1 glyphs in the heading: %2")
                        .arg(heading.size())
                        .arg(describe(heading));
    if (distinctShapes(heading) < 5)
        problems << QStringLiteral("the heading's glyphs look alike: ") + describe(heading);

    // The log: its lines of text inside the white area.
    const Band log = logArea(picture);
    if (log.bottom - log.top <= 40)
        return problems << QStringLiteral("no log area found");
    const QList<Band> logLines =
        inkBands(picture, log.top, log.bottom, margin, picture.width() - margin);
    if (logLines.size() < minimumLogLines)
        return problems << QStringLiteral("%1 lines of text in the log").arg(logLines.size());
    const QList<QSize> firstLogLine =
        glyphBoxes(picture, logLines.first(), margin, picture.width() - margin);
    if (distinctShapes(firstLogLine) < 5)
        problems << QStringLiteral("the log's glyphs look alike: ") + describe(firstLogLine);
    return problems;
}

} // namespace E2e
