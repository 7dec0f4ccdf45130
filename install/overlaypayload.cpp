#include "install/overlaypayload.h"

#include "common/failure.h"
#include "install/filetree.h"
#include "platform/fileentries.h"
#include "platform/filelinks.h"

#include <QDir>
#include <QFileInfo>

namespace Updater {

namespace {

using Platform::EntryKind;

bool writeTree(const QString &source, const QString &target, const QStringList &skipped,
               QString *error)
{
    const QFileInfoList entries = listEntries(source, EntryScope::AllEntries);
    for (const QFileInfo &entry : entries) {
        const QString name = entry.fileName();
        if (skipped.contains(name, Platform::fileNameCase))
            continue;
        const QString from = entry.absoluteFilePath();
        const QString to = QDir(target).filePath(name);
        switch (Platform::entryKind(from)) {
        case EntryKind::Directory:
            // Writing through a link or into a file of that name would leave the tree.
            if (Platform::entryKind(to) != EntryKind::Directory)
                removePath(to);
            if (!QDir().mkpath(to) || Platform::entryKind(to) != EntryKind::Directory)
                return fail(
                    error, QStringLiteral("Could not create %1").arg(QDir::toNativeSeparators(to)));
            if (!writeTree(from, to, QStringList(), error))
                return false;
            break;
        case EntryKind::Link:
            // A link is written as a link: descending into it would copy (and loop through)
            // whatever it points at.
            removePath(to);
            if (!Platform::copyLink(from, to))
                return fail(error, QStringLiteral("Could not copy %1").arg(name));
            break;
        case EntryKind::File:
            if (!copyRecursively(from, to, EntryScope::AllEntries))
                return fail(error, QStringLiteral("Could not copy %1").arg(name));
            break;
        default:
            // Sockets, pipes and devices hold nothing to install.
            break;
        }
    }
    return true;
}

} // namespace

bool overlayPayload(const QString &payloadRoot, const QString &installDir,
                    const QStringList &skipped, QString *error)
{
    if (error)
        error->clear();
    if (Platform::entryKind(payloadRoot) != EntryKind::Directory)
        return fail(error, QStringLiteral("Overlay payload root does not exist."));
    if (!QDir(installDir).exists() && !QDir().mkpath(installDir))
        return fail(error, QStringLiteral("Could not create install directory."));
    return writeTree(payloadRoot, installDir, skipped, error);
}

} // namespace Updater
