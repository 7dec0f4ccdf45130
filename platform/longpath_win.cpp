#include "platform/longpath.h"

#include <QDir>
#include <QFileInfo>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace Updater::Platform {

std::wstring longPath(const QString &path)
{
    QString native = QDir::toNativeSeparators(path);
    if (native.startsWith(QLatin1String("\\\\?\\")))
        return native.toStdWString();
    // With the prefix the system neither resolves "." and ".." nor drops trailing dots and
    // spaces, nor accepts '/': the path is first taken as the system would take it without.
    native = QDir::toNativeSeparators(fullPathName(path));
    // FindFirstFileW and CreateFileW refuse a trailing separator on a file name.
    while (native.size() > 3 && native.endsWith(QLatin1Char('\\')))
        native.chop(1);
    if (native.startsWith(QLatin1String("\\\\")))
        return (QStringLiteral("\\\\?\\UNC\\") + native.mid(2)).toStdWString();
    return (QStringLiteral("\\\\?\\") + native).toStdWString();
}

QString fullPathName(const QString &path)
{
    // Without the \\?\ prefix the system makes the path absolute, resolves "." and "..", and
    // drops the trailing dots and spaces of each name: "C:\Programs\Orvalink. " is
    // "C:\Programs\Orvalink" to every later call.
    const std::wstring native = QDir::toNativeSeparators(path).toStdWString();
    DWORD size = GetFullPathNameW(native.c_str(), 0, nullptr, nullptr);
    std::wstring buffer(size, L'\0');
    if (size != 0)
        size = GetFullPathNameW(native.c_str(), size, buffer.data(), nullptr);
    if (size == 0 || size >= buffer.size())
        return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    buffer.resize(size);
    return QDir::cleanPath(QDir::fromNativeSeparators(QString::fromStdWString(buffer)));
}

} // namespace Updater::Platform
