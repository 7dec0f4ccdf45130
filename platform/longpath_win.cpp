#include "platform/longpath.h"

#include <QDir>
#include <QFileInfo>

namespace Updater::Platform {

std::wstring longPath(const QString &path)
{
    // With the prefix the system neither removes "." and ".." nor accepts '/'.
    QString native = QDir::toNativeSeparators(QDir::cleanPath(QFileInfo(path).absoluteFilePath()));
    // FindFirstFileW and CreateFileW refuse a trailing separator on a file name.
    while (native.size() > 3 && native.endsWith(QLatin1Char('\\')))
        native.chop(1);
    if (native.startsWith(QLatin1String("\\\\?\\")))
        return native.toStdWString();
    if (native.startsWith(QLatin1String("\\\\")))
        return (QStringLiteral("\\\\?\\UNC\\") + native.mid(2)).toStdWString();
    return (QStringLiteral("\\\\?\\") + native).toStdWString();
}

} // namespace Updater::Platform
