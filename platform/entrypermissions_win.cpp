#include "platform/entrypermissions.h"

#include "platform/longpath.h"

#include <vector>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <aclapi.h>

namespace Updater::Platform {

namespace {

// The entries of the DACL at path that were set on it, not passed down to it; an empty list when
// it has none (or no DACL at all).
bool explicitEntries(std::wstring &native, std::vector<BYTE> *list)
{
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(native.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &dacl, nullptr, &descriptor)
        != ERROR_SUCCESS)
        return false;
    ACL_SIZE_INFORMATION size = {};
    const bool sized =
        !dacl || GetAclInformation(dacl, &size, sizeof(size), AclSizeInformation) != 0;
    list->assign(sized && dacl ? size.AclBytesInUse : sizeof(ACL), 0);
    auto *copy = reinterpret_cast<PACL>(list->data());
    bool ok = sized
              && InitializeAcl(copy, static_cast<DWORD>(list->size()),
                               dacl ? dacl->AclRevision : ACL_REVISION);
    for (DWORD index = 0; ok && dacl && index < dacl->AceCount; ++index) {
        void *entry = nullptr;
        ok = GetAce(dacl, index, &entry) != 0;
        const auto *header = static_cast<const ACE_HEADER *>(entry);
        if (ok && !(header->AceFlags & INHERITED_ACE))
            ok = AddAce(copy, copy->AclRevision, MAXDWORD, entry, header->AceSize) != 0;
    }
    LocalFree(descriptor);
    return ok;
}

} // namespace

bool mayCreateEntriesIn(const QString &directory)
{
    // Opening the directory for adding entries asks the system exactly that: an updater that is
    // not elevated gets ERROR_ACCESS_DENIED under Program Files.
    const HANDLE handle =
        CreateFileW(longPath(directory).c_str(), FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(handle);
    return true;
}

bool adoptOwnerAndMode(const QString &, const QString &)
{
    return true;
}

bool resetToInherited(const QString &path, ExplicitPermissions explicitOnes)
{
    std::wstring native = longPath(path);
    std::vector<BYTE> kept(sizeof(ACL), 0);
    const auto list = reinterpret_cast<PACL>(kept.data());
    const SECURITY_INFORMATION what =
        DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION;
    if (explicitOnes == ExplicitPermissions::Keep) {
        // The system passes the change on below by itself, and leaves alone the entries below
        // that refuse what is passed down.
        return explicitEntries(native, &kept)
               && SetNamedSecurityInfoW(native.data(), SE_FILE_OBJECT, what, nullptr, nullptr,
                                        reinterpret_cast<PACL>(kept.data()), nullptr)
                      == ERROR_SUCCESS;
    }
    return InitializeAcl(list, sizeof(ACL), ACL_REVISION)
           && TreeResetNamedSecurityInfoW(native.data(), SE_FILE_OBJECT, what, nullptr, nullptr,
                                          list, nullptr, FALSE, nullptr, ProgressInvokeNever,
                                          nullptr)
                  == ERROR_SUCCESS;
}

} // namespace Updater::Platform
