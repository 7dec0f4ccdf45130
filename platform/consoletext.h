#pragma once

#include <QByteArray>
#include <QString>

namespace Updater::Platform {

// The text a console program (taskkill) wrote into a pipe. Any thread.
// Windows: in the OEM code page, the one such programs write their redirected output in (CP866
// on a Russian Windows, where UTF-8 would garble every Cyrillic message).
// Elsewhere: UTF-8.
QString decodeConsoleOutput(const QByteArray &bytes);

} // namespace Updater::Platform
