#include "platform/fileholders.h"

#include "platform/entrywalk.h"
#include "platform/fileentries.h"

#include <QDir>

#include <string>
#include <vector>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <restartmanager.h>

namespace Updater::Platform {

namespace {

// Restart Manager takes its time per file; a client has a few hundred.
constexpr std::size_t maxFiles = 4000;

} // namespace

QStringList programsHoldingFiles(const QString &dir)
{
    std::vector<std::wstring> files;
    walkEntries(dir, [&files](const QFileInfo &entry) {
        if (entryKind(entry.filePath()) == EntryKind::File)
            files.push_back(QDir::toNativeSeparators(entry.absoluteFilePath()).toStdWString());
        return files.size() < maxFiles;
    });
    DWORD session = 0;
    WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
    if (files.empty() || RmStartSession(&session, 0, key) != ERROR_SUCCESS)
        return {};

    std::vector<LPCWSTR> names;
    for (const std::wstring &file : files)
        names.push_back(file.c_str());
    QStringList holders;
    if (RmRegisterResources(session, static_cast<UINT>(names.size()), names.data(), 0, nullptr, 0,
                            nullptr)
        == ERROR_SUCCESS) {
        std::vector<RM_PROCESS_INFO> found;
        UINT needed = 0;
        UINT count = 0;
        DWORD reasons = 0;
        DWORD result = ERROR_MORE_DATA;
        // The list may grow between the call that sizes it and the one that fills it.
        for (int attempt = 0; attempt < 3 && result == ERROR_MORE_DATA; ++attempt) {
            found.resize(needed);
            count = needed;
            result = RmGetList(session, &needed, &count, found.data(), &reasons);
        }
        for (UINT i = 0; result == ERROR_SUCCESS && i < count; ++i)
            holders << QStringLiteral("%1 (pid %2)")
                           .arg(QString::fromWCharArray(found[i].strAppName),
                                QString::number(found[i].Process.dwProcessId));
    }
    RmEndSession(session);
    holders.removeDuplicates();
    return holders;
}

} // namespace Updater::Platform
