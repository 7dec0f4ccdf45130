#include "platform/entrywriter.h"

#include "platform/longpath.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace Updater::Platform {

namespace {

bool systemFailure(QString *error)
{
    if (error)
        *error = qt_error_string(int(GetLastError()));
    return false;
}

HANDLE handleOf(qintptr file)
{
    return reinterpret_cast<HANDLE>(file);
}

} // namespace

EntryWriter::~EntryWriter()
{
    if (m_file != -1)
        CloseHandle(handleOf(m_file));
}

bool EntryWriter::makeDirectory(const QString &path, QString *error)
{
    return CreateDirectoryW(longPath(path).c_str(), nullptr) != 0 || systemFailure(error);
}

bool EntryWriter::createFile(const QString &path, bool, QString *error)
{
    // CREATE_NEW: a name that exists, a reparse point included, is never written through.
    const HANDLE file = CreateFileW(longPath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return systemFailure(error);
    m_file = reinterpret_cast<qintptr>(file);
    return true;
}

bool EntryWriter::write(const char *data, qint64 size, QString *error)
{
    while (size > 0) {
        const DWORD chunk = DWORD(qMin<qint64>(size, 1 << 30));
        DWORD written = 0;
        if (!WriteFile(handleOf(m_file), data, chunk, &written, nullptr))
            return systemFailure(error);
        data += written;
        size -= written;
    }
    return true;
}

bool EntryWriter::closeFile(qint64 modifiedSecs, QString *error)
{
    // FILETIME counts 100 ns steps since 1601.
    const quint64 ticks = quint64(modifiedSecs + 11644473600LL) * 10000000ULL;
    FILETIME modified;
    modified.dwLowDateTime = DWORD(ticks & 0xffffffffULL);
    modified.dwHighDateTime = DWORD(ticks >> 32);
    const bool timed = modifiedSecs < -11644473600LL
                       || SetFileTime(handleOf(m_file), nullptr, nullptr, &modified) != 0
                       || systemFailure(error);
    const bool closed = CloseHandle(handleOf(m_file)) != 0 || systemFailure(error);
    m_file = -1;
    return timed && closed;
}

} // namespace Updater::Platform
