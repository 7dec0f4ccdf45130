#include "source/deltaplan.h"

#include "common/productnames.h"
#include "platform/fileentries.h"
#include "source/packagehash.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <map>

namespace Updater {

namespace {

void hashDirectory(const QString &directory, const QSet<qint64> &sizes, bool isTop,
                   InstalledContents *contents)
{
    const QStringList preserved = preservedEntryNames();
    const QFileInfoList entries = QDir(directory).entryInfoList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::NoSort);
    for (const QFileInfo &entry : entries) {
        // The user's entries are no part of any release; as Windows compares names.
        if (isTop && preserved.contains(entry.fileName(), Qt::CaseInsensitive))
            continue;
        const QString path = entry.filePath();
        const Platform::EntryKind kind = Platform::entryKind(path);
        if (kind == Platform::EntryKind::Directory) {
            hashDirectory(path, sizes, false, contents);
        } else if (kind == Platform::EntryKind::File && sizes.contains(entry.size())) {
            const QString sha256 = sha256OfFile(path, nullptr);
            if (!sha256.isEmpty() && !contents->contains(sha256))
                contents->insert(sha256, path);
        }
    }
}

// A frame to fetch and the step that decodes it.
struct Piece
{
    qint64 offset;
    qint64 length;
    int step;
};

// Where a published file's frames lie: its size and its pieces.
struct PublishedFile
{
    qint64 size = 0;
    QList<Piece> pieces;
};

// Adds the transfers that fetch file's pieces and tells each step where its frame arrives.
void planTransfers(const QString &url, PublishedFile file, DeltaPlan *plan)
{
    std::sort(file.pieces.begin(), file.pieces.end(),
              [](const Piece &a, const Piece &b) { return a.offset < b.offset; });
    QList<DeltaTransfer> ranges;
    for (const Piece &piece : std::as_const(file.pieces)) {
        const qint64 end = piece.offset + piece.length;
        if (!ranges.isEmpty()
            && piece.offset - (ranges.last().offset + ranges.last().length) <= deltaMergedGap) {
            DeltaTransfer &range = ranges.last();
            range.length = qMax(range.offset + range.length, end) - range.offset;
        } else {
            ranges.append(DeltaTransfer{url, file.size, piece.offset, piece.length});
        }
    }
    qint64 covered = 0;
    for (const DeltaTransfer &range : std::as_const(ranges))
        covered += range.length;
    if (covered * 100 >= file.size * deltaWholeFilePercent)
        ranges = {DeltaTransfer{url, file.size, 0, file.size}};

    const int first = int(plan->transfers.size());
    plan->transfers += ranges;
    for (const Piece &piece : std::as_const(file.pieces)) {
        int index = first;
        while (index + 1 < plan->transfers.size()
               && plan->transfers.at(index + 1).offset <= piece.offset)
            ++index;
        DeltaStep &step = plan->steps[piece.step];
        step.transfer = index;
        step.offsetInTransfer = piece.offset - plan->transfers.at(index).offset;
    }
}

} // namespace

InstalledContents hashInstalledFiles(const QString &installDir, const QSet<qint64> &sizes)
{
    InstalledContents contents;
    hashDirectory(installDir, sizes, true, &contents);
    return contents;
}

QSet<qint64> plannedSizes(const DeltaRelease &delta)
{
    QSet<qint64> sizes;
    for (const DeltaFile &file : delta.files)
        sizes.insert(file.size);
    for (const DeltaPatchFile &patch : delta.patches) {
        for (const DeltaPatchEntry &entry : patch.entries)
            sizes.insert(entry.baseSize);
    }
    return sizes;
}

DeltaPlan planDelta(const DeltaRelease &delta, const InstalledContents &installed,
                    qint64 packageSize)
{
    DeltaPlan plan;
    QHash<QString, int> stepOfContent;
    for (int index = 0; index < delta.files.size(); ++index) {
        const DeltaFile &file = delta.files.at(index);
        plan.treeBytes += file.size;
        const auto known = stepOfContent.constFind(file.sha256);
        if (known != stepOfContent.cend()) {
            plan.steps[*known].files.append(index);
            continue;
        }
        stepOfContent.insert(file.sha256, int(plan.steps.size()));
        DeltaStep step;
        step.sha256 = file.sha256;
        step.size = file.size;
        step.files = {index};
        step.frame = file.frame;
        if (file.size == 0) {
            step.source = DeltaStep::Source::Empty;
        } else if (installed.contains(file.sha256)) {
            step.source = DeltaStep::Source::Installed;
            step.installedPath = installed.value(file.sha256);
        }
        plan.steps.append(step);
    }

    // Each content still to make from the zpack's frame or the smallest patch that applies.
    std::map<QString, PublishedFile> published;
    published[delta.zpackUrl].size = delta.zpackSize;
    QHash<int, QString> urlOfStep;
    for (int index = 0; index < plan.steps.size(); ++index) {
        if (plan.steps.at(index).source == DeltaStep::Source::Frame)
            urlOfStep.insert(index, delta.zpackUrl);
    }
    for (const DeltaPatchFile &patch : delta.patches) {
        published[patch.url].size = patch.size;
        for (const DeltaPatchEntry &entry : patch.entries) {
            const int index = stepOfContent.value(entry.sha256, -1);
            if (index < 0 || !installed.contains(entry.baseSha256))
                continue;
            DeltaStep &step = plan.steps[index];
            if ((step.source == DeltaStep::Source::Frame || step.source == DeltaStep::Source::Patch)
                && entry.frame.length < step.frame.length) {
                step.source = DeltaStep::Source::Patch;
                step.installedPath = installed.value(entry.baseSha256);
                step.frame = entry.frame;
                urlOfStep.insert(index, patch.url);
            }
        }
    }
    for (auto step = urlOfStep.cbegin(); step != urlOfStep.cend(); ++step) {
        const DeltaFrame &frame = plan.steps.at(step.key()).frame;
        published[step.value()].pieces.append(Piece{frame.offset, frame.length, step.key()});
    }
    for (const auto &[url, file] : published) {
        if (!file.pieces.isEmpty())
            planTransfers(url, file, &plan);
    }

    for (const DeltaTransfer &transfer : std::as_const(plan.transfers))
        plan.transferBytes += transfer.length;
    if (packageSize <= 0)
        plan.fullPackageReason = QStringLiteral("needs the package's size, which is not known");
    else if (plan.transferBytes * 2 > packageSize)
        plan.fullPackageReason = QStringLiteral("would move %1 of the package's %2 bytes")
                                     .arg(plan.transferBytes)
                                     .arg(packageSize);
    else if (plan.transfers.size() > deltaTransferLimit)
        plan.fullPackageReason =
            QStringLiteral("would need %1 requests").arg(plan.transfers.size());
    return plan;
}

} // namespace Updater
