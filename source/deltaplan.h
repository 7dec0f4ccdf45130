#pragma once

#include "common/deltarelease.h"

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>

namespace Updater {

// The installation's files by content: SHA-256 (lower-case hex) → the path of one installed file
// that holds it.
using InstalledContents = QHash<QString, QString>;

// Hashes the files of the installation directory with the package check's SHA-256
// (sha256OfFile), those whose size is one of sizes: other files can be neither copied nor patched.
// Leaves out the preserved entries at its top (in any letter case), links, junctions and anything
// that is no plain file; a file that cannot be read is left out as well. Blocking; any thread.
InstalledContents hashInstalledFiles(const QString &installDir, const QSet<qint64> &sizes);

// The sizes of the files that hashInstalledFiles needs to hash for delta.
QSet<qint64> plannedSizes(const DeltaRelease &delta);

// One GET of the plan: a range of a published file, or the whole file.
struct DeltaTransfer
{
    QString url;
    qint64 fileSize = 0; // the published file's size, which a partial answer must name
    qint64 offset = 0;
    qint64 length = 0;
    bool isWholeFile() const { return offset == 0 && length == fileSize; }
};

// How one content of the new tree is made; every file with that content gets a copy of it.
struct DeltaStep
{
    enum class Source {
        Empty,     // no bytes at all
        Installed, // copied from installedPath
        Patch,     // frame decoded with installedPath's content as its prefix
        Frame,     // frame of the zpack decoded alone
    };
    Source source = Source::Frame;
    QString sha256;
    qint64 size = 0;
    QString installedPath;
    DeltaFrame frame;
    int transfer = -1; // Patch and Frame: the transfer that holds the frame
    qint64 offsetInTransfer = 0;
    QList<int> files; // indexes into the delta's files, the first one made from the source
};

// What a differential update would do, or why the package serves better.
struct DeltaPlan
{
    QList<DeltaStep> steps;
    QList<DeltaTransfer> transfers;
    qint64 transferBytes = 0;
    qint64 treeBytes = 0; // the new tree's files
    // Not empty: download the package instead, because a differential update "would move …".
    QString fullPackageReason;
};

// The most transfers a plan may have, the largest gap between two frames of one file that is
// fetched along with them rather than asked for as another range, and the share of a file from
// which it is fetched whole.
constexpr int deltaTransferLimit = 32;
constexpr qint64 deltaMergedGap = 64 * 1024;
constexpr int deltaWholeFilePercent = 75;

// Plans the new tree of delta from what is installed: content that is installed is copied, else
// made by the smallest of the patches that apply to an installed file and its zpack frame.
// Frames of one file are fetched as ranges in file order, merged where they touch or lie at most
// deltaMergedGap apart, and as the whole file when that covers deltaWholeFilePercent of it. The
// package serves instead (fullPackageReason) when the transfers add up to more than half of
// packageSize (or it is not known), or there are more than deltaTransferLimit of them. Pure; any
// thread.
DeltaPlan planDelta(const DeltaRelease &delta, const InstalledContents &installed,
                    qint64 packageSize);

} // namespace Updater
