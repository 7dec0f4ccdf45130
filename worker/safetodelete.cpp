#include "worker/safetodelete.h"

#include "install/installationdirectory.h"

namespace Updater {

bool isSafeToDeleteWholly(const QString &dir, const QString &installDir, const QString &updaterDir)
{
    if (dir.isEmpty())
        return false;

    if (holdsProtectedLocation(dir))
        return false;
    const QString target = comparablePath(dir);
    for (const QString &location : {installDir, updaterDir}) {
        if (!location.isEmpty() && isSameOrInside(comparablePath(location), target))
            return false;
    }
    return true;
}

} // namespace Updater
