#include "platform/exclusivefilelock.h"

#include "platform/longpath.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace Updater::Platform {

ExclusiveFileLock::~ExclusiveFileLock()
{
    release();
}

ExclusiveFileLock::Result ExclusiveFileLock::lock(const QString &path)
{
    release();
    // Sharing nothing but reading is the lock: every other open for writing (another updater's,
    // an older updater's) fails with a sharing violation while this handle is open, and so does
    // every deletion. FILE_FLAG_OPEN_REPARSE_POINT opens a link planted at the path as itself.
    const HANDLE handle =
        CreateFileW(longPath(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        switch (GetLastError()) {
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            return Result::HeldElsewhere;
        case ERROR_ACCESS_DENIED:
        case ERROR_WRITE_PROTECT:
            return Result::AccessDenied;
        default:
            return Result::Failed;
        }
    }
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(handle, &information)
        || (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        CloseHandle(handle);
        return Result::Failed;
    }
    m_path = path;
    m_handle = reinterpret_cast<qintptr>(handle);
    return Result::Locked;
}

bool ExclusiveFileLock::write(const QByteArray &contents)
{
    if (!isLocked())
        return false;
    const auto handle = reinterpret_cast<HANDLE>(m_handle);
    DWORD written = 0;
    return SetFilePointer(handle, 0, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER
           && WriteFile(handle, contents.constData(), static_cast<DWORD>(contents.size()), &written,
                        nullptr)
           && written == static_cast<DWORD>(contents.size()) && SetEndOfFile(handle);
}

void ExclusiveFileLock::release()
{
    if (!isLocked())
        return;
    CloseHandle(reinterpret_cast<HANDLE>(m_handle));
    m_handle = invalidHandle;
    // A process that opened the file since holds it now and shares no deletion: Windows then
    // refuses this, and the file stays with its new holder.
    DeleteFileW(longPath(m_path).c_str());
    m_path.clear();
}

} // namespace Updater::Platform
