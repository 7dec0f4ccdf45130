#include "platform/fileidentity.h"

#include "platform/longpath.h"

#include <QDir>

#include <cstring>
#include <string>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace Updater::Platform {

namespace {

// Opened for its attributes only: any entry, a directory too, whoever else has it open.
HANDLE openEntry(const QString &path)
{
    return CreateFileW(longPath(path).c_str(), FILE_READ_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

std::wstring withoutLongPathPrefix(const std::wstring &path)
{
    if (path.rfind(L"\\\\?\\UNC\\", 0) == 0)
        return L"\\\\" + path.substr(8);
    if (path.rfind(L"\\\\?\\", 0) == 0)
        return path.substr(4);
    return path;
}

} // namespace

FileIdentity fileIdentity(const QString &path)
{
    const HANDLE file = openEntry(path);
    FileIdentity identity;
    if (file == INVALID_HANDLE_VALUE)
        return identity;
    FILE_ID_INFO info{};
    BY_HANDLE_FILE_INFORMATION basic{};
    if (GetFileInformationByHandleEx(file, FileIdInfo, &info, sizeof info)) {
        // 128 bits on ReFS; NTFS fills the low 64.
        identity.volume = info.VolumeSerialNumber;
        std::memcpy(&identity.fileLow, info.FileId.Identifier, sizeof identity.fileLow);
        std::memcpy(&identity.fileHigh, info.FileId.Identifier + sizeof identity.fileLow,
                    sizeof identity.fileHigh);
        identity.valid = true;
    } else if (GetFileInformationByHandle(file, &basic)) {
        // File systems and systems that do not know the longer id.
        identity.volume = basic.dwVolumeSerialNumber;
        identity.fileLow = (std::uint64_t(basic.nFileIndexHigh) << 32) | basic.nFileIndexLow;
        identity.valid = true;
    }
    CloseHandle(file);
    return identity;
}

QString resolvedPath(const QString &path)
{
    const HANDLE file = openEntry(path);
    if (file == INVALID_HANDLE_VALUE)
        return QString();
    const DWORD flags = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
    std::wstring buffer(MAX_PATH, L'\0');
    DWORD length =
        GetFinalPathNameByHandleW(file, buffer.data(), static_cast<DWORD>(buffer.size()), flags);
    if (length >= buffer.size()) {
        // Too small: length is the size needed, terminator included.
        buffer.assign(length, L'\0');
        length = GetFinalPathNameByHandleW(file, buffer.data(), static_cast<DWORD>(buffer.size()),
                                           flags);
    }
    CloseHandle(file);
    if (length == 0 || length >= buffer.size())
        return QString();
    buffer.resize(length);
    return QDir::fromNativeSeparators(QString::fromStdWString(withoutLongPathPrefix(buffer)));
}

} // namespace Updater::Platform
