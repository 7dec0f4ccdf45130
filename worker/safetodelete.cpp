#include "worker/safetodelete.h"

#include "install/installationdirectory.h"
#include "platform/fileidentity.h"

namespace Updater {

bool isSafeToDeleteWholly(const QString &dir, const QString &installDir, const QString &updaterDir)
{
    if (dir.isEmpty())
        return false;

    if (holdsProtectedLocation(dir))
        return false;
    const QString target = comparablePath(dir);
    const Platform::FileIdentity identity = Platform::fileIdentity(dir);
    for (const QString &location : {installDir, updaterDir}) {
        if (!location.isEmpty()
            && (isSameOrInside(comparablePath(location), target)
                || Platform::isSameOrInside(location, identity)))
            return false;
    }
    return true;
}

} // namespace Updater
