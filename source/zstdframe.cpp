#include "source/zstdframe.h"

#include "common/failure.h"

#include <QByteArray>
#include <QIODevice>

#include <memory>
#include <zstd.h>

namespace Updater {

namespace {

struct DecoderDeleter
{
    void operator()(ZSTD_DCtx *context) const { ZSTD_freeDCtx(context); }
};

QString decoderReason(size_t code)
{
    return QStringLiteral("the frame cannot be decoded: %1")
        .arg(QString::fromLatin1(ZSTD_getErrorName(code)));
}

} // namespace

bool decodeZstdFrame(QIODevice *input, qint64 length, const char *prefix, qint64 prefixSize,
                     qint64 contentSize, const FrameSink &sink, QString *error)
{
    const std::unique_ptr<ZSTD_DCtx, DecoderDeleter> context(ZSTD_createDCtx());
    if (!context)
        return fail(error, QStringLiteral("the frame cannot be decoded: out of memory"));
    // A frame that asks for a larger window would make the decoder allocate it, whatever the
    // file's size.
    size_t status = ZSTD_DCtx_setParameter(context.get(), ZSTD_d_windowLogMax, zstdWindowLogMax);
    if (!ZSTD_isError(status) && prefixSize > 0)
        status = ZSTD_DCtx_refPrefix(context.get(), prefix, size_t(prefixSize));
    if (ZSTD_isError(status))
        return fail(error, decoderReason(status));

    QByteArray inBlock(qsizetype(ZSTD_DStreamInSize()), Qt::Uninitialized);
    QByteArray outBlock(qsizetype(ZSTD_DStreamOutSize()), Qt::Uninitialized);
    ZSTD_inBuffer in{inBlock.constData(), 0, 0};
    qint64 unread = length;
    qint64 produced = 0;
    for (;;) {
        if (in.pos == in.size && unread > 0) {
            const qint64 count = input->read(inBlock.data(), qMin<qint64>(inBlock.size(), unread));
            if (count <= 0)
                return fail(error,
                            QStringLiteral("cannot read the frame: %1").arg(input->errorString()));
            unread -= count;
            in = ZSTD_inBuffer{inBlock.constData(), size_t(count), 0};
        }
        ZSTD_outBuffer out{outBlock.data(), size_t(outBlock.size()), 0};
        status = ZSTD_decompressStream(context.get(), &out, &in);
        if (ZSTD_isError(status))
            return fail(error, decoderReason(status));
        if (out.pos > 0) {
            produced += qint64(out.pos);
            if (produced > contentSize)
                return fail(error,
                            QStringLiteral("the frame makes more than %1 bytes").arg(contentSize));
            if (!sink(outBlock.constData(), qint64(out.pos), error))
                return false;
        }
        if (status == 0)
            break;
        // All input given and room left for output: the decoder waits for bytes that are not
        // part of this frame.
        if (in.pos == in.size && unread == 0 && out.pos < out.size)
            return fail(error, QStringLiteral("the frame ends early"));
    }
    if (in.pos != in.size || unread > 0)
        return fail(error, QStringLiteral("the frame is followed by other data"));
    if (produced != contentSize)
        return fail(
            error,
            QStringLiteral("the frame makes %1 bytes, not %2").arg(produced).arg(contentSize));
    return true;
}

} // namespace Updater
