#include "platform/consoletext.h"

namespace Updater::Platform {

QString decodeConsoleOutput(const QByteArray &bytes)
{
    return QString::fromUtf8(bytes);
}

} // namespace Updater::Platform
