#include "platform/programlocator.h"

#include <string>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace Updater::Platform {

namespace {

// System32 of this (64-bit) process, without a trailing separator; empty when Windows cannot
// tell, which leaves nothing to run rather than falling back to a search.
QString systemDirectory()
{
    std::wstring buffer(MAX_PATH, L'\0');
    UINT length = GetSystemDirectoryW(buffer.data(), static_cast<UINT>(buffer.size()));
    if (length >= buffer.size()) {
        // Too small: length is the size needed, terminator included.
        buffer.assign(length, L'\0');
        length = GetSystemDirectoryW(buffer.data(), static_cast<UINT>(buffer.size()));
        if (length >= buffer.size())
            return QString();
    }
    if (length == 0)
        return QString();
    QString directory = QString::fromWCharArray(buffer.data(), static_cast<qsizetype>(length));
    while (directory.endsWith(QLatin1Char('\\')))
        directory.chop(1);
    return directory;
}

} // namespace

QString locateProgram(const QString &program)
{
    if (program.isEmpty() || program.contains(QLatin1Char('/'))
        || program.contains(QLatin1Char('\\')) || program.contains(QLatin1Char(':')))
        return QString();

    const QString system = systemDirectory();
    if (system.isEmpty())
        return QString();

    QString relative = program;
    if (!program.contains(QLatin1Char('.')))
        relative += QStringLiteral(".exe");
    return system + QLatin1Char('\\') + relative;
}

} // namespace Updater::Platform
