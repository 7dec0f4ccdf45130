// Compiled once per key set; releasekeyset.inc, written by the build beside the object, lists
// the set's keys as string literals, one a line.
#include "source/releasekeys.h"

namespace Updater {

QStringList releasePublicKeys()
{
    static const char *const keys[] = {
#include "releasekeyset.inc"
        nullptr};
    QStringList list;
    for (const char *const *key = keys; *key; ++key)
        list << QString::fromLatin1(*key);
    return list;
}

} // namespace Updater
