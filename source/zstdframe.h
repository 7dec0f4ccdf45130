#pragma once

#include <QString>

#include <functional>

class QIODevice;

namespace Updater {

// The largest window a frame may make the decoder keep: 2^27 bytes (128 MiB). The release tool
// never writes a frame that needs more, and the decoder refuses one that asks for more.
constexpr int zstdWindowLogMax = 27;

// Receives decoded bytes in order; false, with a reason in *error, ends the decoding.
using FrameSink = std::function<bool(const char *data, qint64 size, QString *error)>;

// Decodes exactly one zstd frame of `length` bytes read from input (open for reading, at the
// frame's first byte), with prefix (may be null when prefixSize is 0) as the content that comes
// before it: the earlier file a patch frame was made against. The frame must make exactly
// contentSize bytes, fit the window limit and end where the `length` bytes end. Memory: the
// window (at most 128 MiB, and no more than the frame's content) and two small buffers; the
// prefix is only read. False with one English reason in *error (may be null): the decoder's,
// the sink's, "the frame makes more than %1 bytes", "the frame makes %1 bytes, not %2",
// "the frame ends early", "the frame is followed by other data", "cannot read the frame: %1".
// Any thread.
bool decodeZstdFrame(QIODevice *input, qint64 length, const char *prefix, qint64 prefixSize,
                     qint64 contentSize, const FrameSink &sink, QString *error);

} // namespace Updater
