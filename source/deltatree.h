#pragma once

#include "common/deltarelease.h"
#include "source/deltaplan.h"
#include "source/zstdframe.h"

#include <QString>
#include <QStringList>

class QFile;

namespace Updater {

// Decodes the frame at offset in pieces into sink, as file's content: first the frame's bytes
// must match its SHA-256, then decodeZstdFrame runs on them with the file at basePath (empty:
// none) mapped as the prefix and file.size as the content size; the sink checks the content.
// False with one English message in *error (may be null): "cannot read %1: %2",
// "the fetched frame for %1 does not match its SHA-256", "%1: %2" (the decoder's reason), or the
// sink's. Blocking; any thread.
bool decodeCheckedFrame(QFile *pieces, qint64 offset, const DeltaFrame &frame,
                        const QString &basePath, const DeltaFile &file, const FrameSink &sink,
                        QString *error);

// Builds the new release's tree into treeDir, an existing empty directory, as plan says: every
// directory of delta, and every file from the installed file that has its content, or from its
// frame (transferFiles[i] holds the bytes of plan.transfers[i]): the frame's SHA-256 is checked
// before it is decoded, a patch frame decoded with its installed base mapped as the prefix. Each
// file must come out with its listed size and SHA-256, and gets the executable bits of its mode
// (not on Windows). Nothing outside treeDir is written. Memory: the largest base mapped plus the
// decoder's window (at most the file's size). False with one English message in *error (may be
// null): "cannot write %1: %2",
// "cannot read %1: %2", "the fetched frame for %1 does not match its SHA-256", "%1: %2" (the
// decoder's reason), "%1 does not match its SHA-256"; what was written stays. Blocking; any
// thread.
bool buildDeltaTree(const DeltaRelease &delta, const DeltaPlan &plan,
                    const QStringList &transferFiles, const QString &treeDir, QString *error);

} // namespace Updater
