#include "worker/updateworker.h"

#include "install/filetree.h"
#include "install/staginglayout.h"
#include "worker/packageextraction.h"

#include <QDir>
#include <QStorageInfo>

namespace Updater {

namespace {

// Less than this left on the volume after a failed unpacking: the package filled the disk.
constexpr qint64 fullDiskMargin = 1024 * 1024;

bool isDiskFull(const QString &path)
{
    const QStorageInfo volume(path);
    return volume.isValid() && volume.bytesAvailable() < fullDiskMargin;
}

} // namespace

bool UpdateWorker::extractPackage(QString *error)
{
    const StagingLayout layout(options.installDir);
    const QString extractedDir = extractedDirPath();
    // removePath takes a link as a link: a stale "extracted" that points elsewhere must not take
    // what it points at with it.
    removePath(extractedDir);
    QDir().mkpath(extractedDir);

    bool needsMoreRoom = false;
    if (extractPackageFile(layout.packageFile(), extractedDir, error, &needsMoreRoom))
        return true;
    // A package that does not fit, or that filled the disk after all, must not keep the disk
    // full until some later update; the next one downloads it again.
    if (needsMoreRoom || isDiskFull(layout.updateDir()))
        removePath(layout.updateDir());
    return false;
}

} // namespace Updater
