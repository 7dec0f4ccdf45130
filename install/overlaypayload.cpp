#include "install/overlaypayload.h"

#include "common/productnames.h"
#include "install/filetree.h"
#include "platform/filelinks.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace Updater {

bool overlayPayload(const QString &payloadRoot, const QString &installDir, QString *error)
{
    if (error)
        error->clear();
    const auto fail = [error](const QString &message) {
        if (error)
            *error = message;
        return false;
    };

    if (!QDir(payloadRoot).exists())
        return fail(QStringLiteral("Overlay payload root does not exist."));
    if (!QDir(installDir).exists() && !QDir().mkpath(installDir))
        return fail(QStringLiteral("Could not create install directory."));

    const QStringList excluded = preservedEntryNames() << clientExecutableName();
    const QDir targetDir(installDir);
    const QFileInfoList entries = listEntries(payloadRoot, EntryScope::VisibleEntries);
    for (const QFileInfo &entry : entries) {
        const QString name = entry.fileName();
        if (excluded.contains(name))
            continue;
        const QString source = entry.absoluteFilePath();
        const QString target = targetDir.filePath(name);
        removePath(target);

        // A link is written as a link: descending into it would copy (and loop through) whatever
        // it points at.
        if (Platform::isLink(source)) {
            if (!Platform::copyLink(source, target))
                return fail(QStringLiteral("Could not copy %1").arg(name));
            continue;
        }
        if (entry.isDir()) {
            if (!QDir().mkpath(target))
                return fail(
                    QStringLiteral("Could not create %1").arg(QDir::toNativeSeparators(target)));
            if (!overlayPayload(source, target, error))
                return false;
            continue;
        }
        if (!QFile::copy(source, target))
            return fail(QStringLiteral("Could not copy %1").arg(name));
    }
    return true;
}

} // namespace Updater
