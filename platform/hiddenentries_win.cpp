#include "platform/hiddenentries.h"

#include "platform/longpath.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace Updater::Platform {

bool hideEntry(const QString &path)
{
    // The attributes belong to the entry itself, a link or junction included.
    const std::wstring native = longPath(path);
    const DWORD attributes = GetFileAttributesW(native.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return false;
    if (attributes & FILE_ATTRIBUTE_HIDDEN)
        return true;
    return SetFileAttributesW(native.c_str(), attributes | FILE_ATTRIBUTE_HIDDEN) != 0;
}

} // namespace Updater::Platform
