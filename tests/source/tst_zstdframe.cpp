#include "source/zstdframe.h"

#include <QBuffer>
#include <QRandomGenerator>
#include <QtTest>

#include <zstd.h>

using namespace Updater;

// The decoder's limits on frames made here with libzstd: one whole frame of exactly the listed
// size, within the window limit, a patch frame only with its prefix.
class TestZstdFrame : public QObject
{
    Q_OBJECT

private slots:
    void decode_data();
    void decode();
};

namespace {

// Streamed in two calls, so that the compressor does not know the size and keeps the window
// asked for.
QByteArray frameOf(const QByteArray &content, const QByteArray &prefix, int windowLog)
{
    ZSTD_CCtx *context = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, windowLog);
    if (!prefix.isEmpty())
        ZSTD_CCtx_refPrefix(context, prefix.constData(), size_t(prefix.size()));
    QByteArray frame(qsizetype(ZSTD_compressBound(size_t(content.size()))) + 1024,
                     Qt::Uninitialized);
    ZSTD_outBuffer out{frame.data(), size_t(frame.size()), 0};
    ZSTD_inBuffer in{content.constData(), size_t(content.size()), 0};
    size_t status = ZSTD_compressStream2(context, &out, &in, ZSTD_e_continue);
    while (!ZSTD_isError(status)) {
        status = ZSTD_compressStream2(context, &out, &in, ZSTD_e_end);
        if (status == 0)
            break;
    }
    ZSTD_freeCCtx(context);
    frame.resize(ZSTD_isError(status) ? 0 : qsizetype(out.pos));
    return frame;
}

} // namespace

void TestZstdFrame::decode_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QByteArray>("prefix");
    QTest::addColumn<qint64>("contentSize");
    QTest::addColumn<QString>("refusal"); // empty: decodes to the content

    QByteArray base(300000, Qt::Uninitialized);
    QRandomGenerator(5).fillRange(reinterpret_cast<quint32 *>(base.data()), base.size() / 4);
    QByteArray content = base;
    content.replace(1000, 6, "change");
    const QByteArray frame = frameOf(content, QByteArray(), 20);
    const QByteArray patch = frameOf(content, base, 20);
    const qint64 size = content.size();

    QTest::newRow("a frame") << frame << QByteArray() << size << QString();
    QTest::newRow("a patch with its prefix") << patch << base << size << QString();
    QTest::newRow("a patch without it") << patch << QByteArray() << size << "cannot be decoded";
    QTest::newRow("more than listed") << frame << QByteArray() << size - 1 << "more than";
    QTest::newRow("less than listed") << frame << QByteArray() << size + 1 << "not 300001";
    QTest::newRow("cut short") << frame.left(frame.size() - 10) << QByteArray() << size
                               << "ends early";
    QTest::newRow("another frame after it")
        << frame + frameOf("x", QByteArray(), 10) << QByteArray() << size << "followed by";
    QTest::newRow("a window beyond 2^27") << frameOf(QByteArray(1 << 20, 'w'), QByteArray(), 28)
                                          << QByteArray() << qint64(1 << 20) << "cannot be decoded";
}

void TestZstdFrame::decode()
{
    QFETCH(QByteArray, frame);
    QFETCH(QByteArray, prefix);
    QFETCH(qint64, contentSize);
    QFETCH(QString, refusal);
    QVERIFY(!frame.isEmpty());

    QBuffer input(&frame);
    QVERIFY(input.open(QIODevice::ReadOnly));
    QByteArray output;
    QString error;
    const bool decoded = decodeZstdFrame(
        &input, frame.size(), prefix.constData(), prefix.size(), contentSize,
        [&output](const char *data, qint64 size, QString *) {
            output.append(data, size);
            return true;
        },
        &error);
    QVERIFY2(decoded == refusal.isEmpty() && error.contains(refusal), qPrintable(error));
    if (decoded)
        QCOMPARE(output.size(), contentSize);
}

QTEST_APPLESS_MAIN(TestZstdFrame)
#include "tst_zstdframe.moc"
