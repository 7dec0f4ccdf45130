#include "platform/protectedlocations.h"

#include <QDir>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <knownfolders.h>
#include <shlobj.h>

#include <vector>

namespace Updater::Platform {

namespace {

QString knownFolder(REFKNOWNFOLDERID id)
{
    PWSTR path = nullptr;
    QString result;
    if (SUCCEEDED(SHGetKnownFolderPath(id, KF_FLAG_DONT_VERIFY, nullptr, &path)))
        result = QDir::fromNativeSeparators(QString::fromWCharArray(path));
    CoTaskMemFree(path);
    return result;
}

} // namespace

// Everything of the system's that a wrong --install-dir or offline payload could name.
QStringList systemLocations()
{
    QStringList locations;
    wchar_t buffer[MAX_PATH + 1];
    const UINT length = GetWindowsDirectoryW(buffer, MAX_PATH + 1);
    if (length > 0 && length <= MAX_PATH)
        locations << QDir::fromNativeSeparators(QString::fromWCharArray(buffer, int(length)));

    static const KNOWNFOLDERID *const folders[] = {
        &FOLDERID_Windows,      &FOLDERID_System,          &FOLDERID_SystemX86,
        &FOLDERID_ProgramFiles, &FOLDERID_ProgramFilesX86, &FOLDERID_ProgramFilesX64,
        &FOLDERID_ProgramData,  &FOLDERID_Profile,         &FOLDERID_UserProfiles,
        &FOLDERID_Public,       &FOLDERID_Desktop,         &FOLDERID_PublicDesktop,
        &FOLDERID_Documents,    &FOLDERID_Downloads,       &FOLDERID_Music,
        &FOLDERID_Pictures,     &FOLDERID_Videos,          &FOLDERID_RoamingAppData,
        &FOLDERID_LocalAppData, &FOLDERID_LocalAppDataLow, &FOLDERID_Programs,
        &FOLDERID_StartMenu,    &FOLDERID_Startup,         &FOLDERID_Favorites,
        &FOLDERID_SavedGames,   &FOLDERID_Fonts,
    };
    for (const KNOWNFOLDERID *folder : folders)
        locations << knownFolder(*folder);

    // Every drive root, removable and network drives included ("C:\", "D:\", ...).
    const DWORD size = GetLogicalDriveStringsW(0, nullptr);
    if (size > 0) {
        std::vector<wchar_t> drives(size + 1, L'\0');
        const DWORD written = GetLogicalDriveStringsW(size, drives.data());
        for (const wchar_t *drive = drives.data(); written > 0 && *drive;
             drive += wcslen(drive) + 1)
            locations << QDir::fromNativeSeparators(QString::fromWCharArray(drive));
    }
    return locations;
}

} // namespace Updater::Platform
