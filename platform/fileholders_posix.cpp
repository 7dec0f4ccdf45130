#include "platform/fileholders.h"

namespace Updater::Platform {

QStringList programsHoldingFiles(const QString &)
{
    return {};
}

} // namespace Updater::Platform
