#include "platform/downloadmark.h"

namespace Updater::Platform {

void removeDownloadMarks(const QString &) {}

} // namespace Updater::Platform
