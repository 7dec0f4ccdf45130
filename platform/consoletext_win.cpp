#include "platform/consoletext.h"

#include <climits>
#include <string>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace Updater::Platform {

QString decodeConsoleOutput(const QByteArray &bytes)
{
    // A program's messages are far below the int range MultiByteToWideChar counts in.
    if (bytes.isEmpty() || bytes.size() > INT_MAX)
        return QString::fromUtf8(bytes);
    const int size = static_cast<int>(bytes.size());
    const int length = MultiByteToWideChar(CP_OEMCP, 0, bytes.constData(), size, nullptr, 0);
    if (length <= 0)
        return QString::fromUtf8(bytes);
    std::wstring text(static_cast<size_t>(length), L'\0');
    if (MultiByteToWideChar(CP_OEMCP, 0, bytes.constData(), size, text.data(), length) != length)
        return QString::fromUtf8(bytes);
    return QString::fromStdWString(text);
}

} // namespace Updater::Platform
