#pragma once

#include <QList>
#include <QString>
#include <QStringList>

namespace Updater {

// A differential update as the signed manifest describes it: the new release's complete file
// list, each file also published as one zstd frame of package.zpack, and for some earlier
// releases a package-from-<version>.zpatch with one frame per changed file that rebuilds it from
// that release's file (zstd with the old file as its prefix). Every file of the new installation
// is one of the list; what is not in it is not part of the release. Hashes are SHA-256 as 64
// lower-case hex digits.

// One zstd frame inside a published file.
struct DeltaFrame
{
    qint64 offset = 0;
    qint64 length = 0;
    QString sha256; // of the frame's bytes
};

// One file of the new release.
struct DeltaFile
{
    QString path; // '/'-separated, relative to the installation directory
    qint64 size = 0;
    QString sha256;
    quint32 mode = 0644; // permission bits; the executable ones are kept where the system has them
    DeltaFrame frame;    // in the zpack; files with the same content share one
};

// A frame that turns an earlier release's file into a file of the new one.
struct DeltaPatchEntry
{
    QString path;       // the new file's path
    QString baseSha256; // the earlier file it applies to
    qint64 baseSize = 0;
    QString sha256; // what it makes, one of the files' sha256
    DeltaFrame frame;
};

// package-from-<version>.zpatch: the patches from one earlier release.
struct DeltaPatchFile
{
    QString fromVersion;
    QString url;
    qint64 size = 0;
    QString sha256;
    QList<DeltaPatchEntry> entries;
};

struct DeltaRelease
{
    QString zpackUrl;
    qint64 zpackSize = 0;
    QList<DeltaFile> files;
    QStringList directories; // every directory of the tree, so that empty ones are made too
    QList<DeltaPatchFile> patches;

    bool isEmpty() const { return files.isEmpty(); }
};

} // namespace Updater
