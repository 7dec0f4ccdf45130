#include "platform/protectedlocations.h"

#include "platform/fileidentity.h"

#include <QDir>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <knownfolders.h>
#include <shlobj.h>

#include <string>

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

// Everything of the system's that a wrong --install-dir or offline payload could name. Drive
// roots are not listed: a root is refused as such (isFileSystemRoot), and asking for every drive
// would stall on a disconnected network drive.
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
        &FOLDERID_SavedGames,   &FOLDERID_Fonts,           &FOLDERID_UserProgramFiles,
    };
    for (const KNOWNFOLDERID *folder : folders)
        locations << knownFolder(*folder);

    return locations;
}

// The root of a volume however it is reached: a junction or link to it, a folder the volume is
// mounted on, \\?\Volume{...}\.
bool isVolumeRoot(const QString &path)
{
    const QString resolved = resolvedPath(path);
    if (resolved.isEmpty())
        return false;
    wchar_t root[MAX_PATH + 1];
    const std::wstring native = QDir::toNativeSeparators(resolved).toStdWString();
    return GetVolumePathNameW(native.c_str(), root, MAX_PATH + 1)
           && fileIdentity(QString::fromWCharArray(root)) == fileIdentity(path);
}

} // namespace Updater::Platform
