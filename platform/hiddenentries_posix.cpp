#include "platform/hiddenentries.h"

#include <QFileInfo>

namespace Updater::Platform {

bool hideEntry(const QString &path)
{
    return QFileInfo(path).fileName().startsWith(QLatin1Char('.'));
}

} // namespace Updater::Platform
