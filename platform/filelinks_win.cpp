#include "platform/filelinks.h"

#include "platform/longpath.h"

#include <cstddef>
#include <string>
#include <vector>

#include <windows.h>
#include <winioctl.h>

namespace Updater::Platform {

namespace {

// The reparse data layout of the Windows driver kit (ntifs.h), which user-mode headers lack.
struct ReparseDataBuffer
{
    ULONG ReparseTag;
    USHORT ReparseDataLength;
    USHORT Reserved;
    union {
        struct
        {
            USHORT SubstituteNameOffset;
            USHORT SubstituteNameLength;
            USHORT PrintNameOffset;
            USHORT PrintNameLength;
            ULONG Flags;
            WCHAR PathBuffer[1];
        } SymbolicLinkReparseBuffer;
        struct
        {
            USHORT SubstituteNameOffset;
            USHORT SubstituteNameLength;
            USHORT PrintNameOffset;
            USHORT PrintNameLength;
            WCHAR PathBuffer[1];
        } MountPointReparseBuffer;
    };
};

constexpr DWORD reparseHeaderSize = offsetof(ReparseDataBuffer, SymbolicLinkReparseBuffer);

#ifndef SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
#define SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE 0x2
#endif

// Every path goes to the system with the long-path prefix, so that links deep in a tree beyond
// MAX_PATH are still seen as links.
std::wstring nativePath(const QString &path)
{
    return longPath(path);
}

// The reparse tag of the entry itself (0 when it has none), and its own attributes.
bool entryTag(const std::wstring &path, DWORD *tag, DWORD *attributes)
{
    WIN32_FIND_DATAW data;
    const HANDLE find = FindFirstFileW(path.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return false;
    FindClose(find);
    *attributes = data.dwFileAttributes;
    *tag = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? data.dwReserved0 : 0;
    return true;
}

// Only a name surrogate stands for another entry (symbolic links, junctions, mount points); the
// reparse points of compressed, deduplicated or cloud files are files and folders as they are.
bool isLinkTag(DWORD tag)
{
    return tag != 0 && IsReparseTagNameSurrogate(tag);
}

bool readReparseData(const std::wstring &path, std::vector<char> *buffer)
{
    const HANDLE handle = CreateFileW(
        path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    buffer->assign(MAXIMUM_REPARSE_DATA_BUFFER_SIZE, 0);
    DWORD returned = 0;
    const BOOL ok = DeviceIoControl(handle, FSCTL_GET_REPARSE_POINT, nullptr, 0, buffer->data(),
                                    static_cast<DWORD>(buffer->size()), &returned, nullptr);
    CloseHandle(handle);
    return ok && returned >= reparseHeaderSize;
}

// The link's target as the user wrote it: the print name, or the substitute name without the
// NT prefix when a tool left the print name empty.
std::wstring symbolicLinkText(const ReparseDataBuffer &data)
{
    const auto &link = data.SymbolicLinkReparseBuffer;
    const WCHAR *names = link.PathBuffer;
    std::wstring text(names + link.PrintNameOffset / sizeof(WCHAR),
                      link.PrintNameLength / sizeof(WCHAR));
    if (!text.empty())
        return text;
    text.assign(names + link.SubstituteNameOffset / sizeof(WCHAR),
                link.SubstituteNameLength / sizeof(WCHAR));
    if (text.rfind(L"\\??\\UNC\\", 0) == 0)
        return L"\\\\" + text.substr(8);
    if (text.rfind(L"\\??\\", 0) == 0)
        return text.substr(4);
    return text;
}

bool createSymbolicLink(const std::wstring &target, const std::wstring &linkText, bool directory)
{
    const DWORD kind = directory ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0;
    if (CreateSymbolicLinkW(target.c_str(), linkText.c_str(),
                            kind | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE))
        return true;
    // Windows before 10 1703 rejects the unprivileged flag itself.
    if (GetLastError() != ERROR_INVALID_PARAMETER)
        return false;
    return CreateSymbolicLinkW(target.c_str(), linkText.c_str(), kind) != 0;
}

// A junction is an empty directory carrying the mount point data; the data read from the
// source is written back unchanged, so the copy points where the source points.
bool createJunction(const std::wstring &target, std::vector<char> *data)
{
    if (!CreateDirectoryW(target.c_str(), nullptr))
        return false;
    const HANDLE handle =
        CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    bool ok = false;
    if (handle != INVALID_HANDLE_VALUE) {
        const auto *header = reinterpret_cast<const ReparseDataBuffer *>(data->data());
        const DWORD size = reparseHeaderSize + header->ReparseDataLength;
        DWORD returned = 0;
        ok = DeviceIoControl(handle, FSCTL_SET_REPARSE_POINT, data->data(), size, nullptr, 0,
                             &returned, nullptr)
             != 0;
        CloseHandle(handle);
    }
    if (!ok)
        RemoveDirectoryW(target.c_str());
    return ok;
}

} // namespace

bool isLink(const QString &path)
{
    DWORD tag = 0;
    DWORD attributes = 0;
    return entryTag(nativePath(path), &tag, &attributes) && isLinkTag(tag);
}

bool copyLink(const QString &source, const QString &target)
{
    const std::wstring sourcePath = nativePath(source);
    DWORD tag = 0;
    DWORD attributes = 0;
    if (!entryTag(sourcePath, &tag, &attributes) || !isLinkTag(tag))
        return false;
    std::vector<char> data;
    if (!readReparseData(sourcePath, &data))
        return false;
    const auto *header = reinterpret_cast<const ReparseDataBuffer *>(data.data());
    if (header->ReparseTag == IO_REPARSE_TAG_MOUNT_POINT)
        return createJunction(nativePath(target), &data);
    if (header->ReparseTag != IO_REPARSE_TAG_SYMLINK)
        return false;
    // The link's own directory attribute says which kind it is, even when its target is gone.
    return createSymbolicLink(nativePath(target), symbolicLinkText(*header),
                              (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
}

bool removeLink(const QString &path)
{
    const std::wstring native = nativePath(path);
    DWORD tag = 0;
    DWORD attributes = 0;
    if (!entryTag(native, &tag, &attributes) || !isLinkTag(tag))
        return false;
    if (attributes & FILE_ATTRIBUTE_READONLY)
        SetFileAttributesW(native.c_str(), attributes & ~DWORD(FILE_ATTRIBUTE_READONLY));
    // A directory link is removed like an empty directory; this never touches its target.
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return RemoveDirectoryW(native.c_str()) != 0;
    return DeleteFileW(native.c_str()) != 0;
}

} // namespace Updater::Platform
