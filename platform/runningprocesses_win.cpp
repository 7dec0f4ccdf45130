#include "platform/runningprocesses.h"

#include "platform/fileidentity.h"
#include "platform/longpath.h"

#include <QDir>
#include <QFileInfo>
#include <QMap>

#include <string>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <tlhelp32.h>

namespace Updater::Platform {

struct InstalledProcesses::Held
{
    RunningProcess process;
    HANDLE handle = nullptr;
    bool synchronize = false; // opened with SYNCHRONIZE, so that it can be waited for
};

namespace {

// Process32FirstW/NextW list every process; the handle is closed by its owner.
class ProcessSnapshot
{
public:
    ProcessSnapshot()
        : handle(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0))
    {
    }
    ~ProcessSnapshot()
    {
        if (isValid())
            CloseHandle(handle);
    }
    ProcessSnapshot(const ProcessSnapshot &) = delete;
    ProcessSnapshot &operator=(const ProcessSnapshot &) = delete;

    bool isValid() const { return handle != INVALID_HANDLE_VALUE; }
    bool first(PROCESSENTRY32W *entry) const
    {
        entry->dwSize = sizeof(*entry);
        return Process32FirstW(handle, entry) != 0;
    }
    bool next(PROCESSENTRY32W *entry) const { return Process32NextW(handle, entry) != 0; }

private:
    HANDLE handle;
};

// The resolved path when the file system can tell, else the path as it was given.
std::wstring comparablePath(const std::wstring &path)
{
    const QString resolved = resolvedPath(QString::fromStdWString(path));
    return resolved.isEmpty() ? path : QDir::toNativeSeparators(resolved).toStdWString();
}

// Whether path lies below dir (which ends with a separator), compared as NTFS compares names.
bool isInside(const std::wstring &path, const std::wstring &dir)
{
    return path.size() > dir.size()
           && CompareStringOrdinal(path.c_str(), static_cast<int>(dir.size()), dir.c_str(),
                                   static_cast<int>(dir.size()), TRUE)
                  == CSTR_EQUAL;
}

std::wstring imagePath(HANDLE process)
{
    // The longest path Windows handles, in characters.
    std::wstring buffer(32768, L'\0');
    DWORD size = static_cast<DWORD>(buffer.size());
    if (!QueryFullProcessImageNameW(process, 0, buffer.data(), &size))
        return std::wstring();
    buffer.resize(size);
    return buffer;
}

bool hasEnded(HANDLE process)
{
    DWORD code = 0;
    return GetExitCodeProcess(process, &code) && code != STILL_ACTIVE;
}

} // namespace

InstalledProcesses::InstalledProcesses() = default;

InstalledProcesses::~InstalledProcesses()
{
    release();
}

void InstalledProcesses::release()
{
    for (const Held &entry : held)
        CloseHandle(entry.handle);
    held.clear();
    m_unreachable.clear();
}

bool InstalledProcesses::isRunningImage(const QString &file)
{
    // The system refuses write access to the file of a mapped image, whoever maps it.
    const HANDLE handle = CreateFileW(longPath(file).c_str(), FILE_WRITE_DATA,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
        return false;
    }
    return GetLastError() == ERROR_SHARING_VIOLATION;
}

bool InstalledProcesses::find(const QString &installDir, QString *error)
{
    release();
    const ProcessSnapshot snapshot;
    PROCESSENTRY32W entry{};
    if (!snapshot.isValid() || !snapshot.first(&entry)) {
        if (error)
            *error = QStringLiteral("Could not list the running processes (error %1).")
                         .arg(GetLastError());
        return false;
    }

    std::wstring inside = comparablePath(
        QDir::toNativeSeparators(QDir::cleanPath(QFileInfo(installDir).absoluteFilePath()))
            .toStdWString());
    if (inside.empty() || inside.back() != L'\\')
        inside += L'\\';

    // Processes the updater may not open (another session's), by their image names.
    QMap<QString, QList<RunningProcess>> unseen;
    const DWORD self = GetCurrentProcessId();
    do {
        if (entry.th32ProcessID == self || entry.th32ProcessID == 0)
            continue;
        // From here on the id cannot be given to another process, and the place is read from the
        // handle, so it is this process's own even if the one listed has gone meanwhile. An
        // elevated process grants a non-elevated updater no more than the limited query.
        bool synchronize = true;
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE,
                                     entry.th32ProcessID);
        if (!process && GetLastError() == ERROR_ACCESS_DENIED) {
            synchronize = false;
            process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
        }
        if (!process) {
            if (GetLastError() == ERROR_ACCESS_DENIED) {
                const QString name = QString::fromWCharArray(entry.szExeFile);
                unseen[name.toLower()] << RunningProcess{entry.th32ProcessID, name};
            }
            continue;
        }
        const std::wstring image = imagePath(process);
        if (image.empty() || hasEnded(process) || !isInside(comparablePath(image), inside)) {
            CloseHandle(process);
            continue;
        }
        const RunningProcess found{
            entry.th32ProcessID,
            QFileInfo(QDir::fromNativeSeparators(QString::fromStdWString(image))).fileName()};
        const HANDLE terminate = OpenProcess(PROCESS_TERMINATE, FALSE, entry.th32ProcessID);
        if (!terminate) {
            m_unreachable << found;
            CloseHandle(process);
            continue;
        }
        CloseHandle(terminate);
        held.push_back({found, process, synchronize});
    } while (snapshot.next(&entry));

    for (const QString &name : namesInUse(installDir, unseen.keys(), -1))
        m_unreachable += unseen.value(name);
    return true;
}

QList<RunningProcess> InstalledProcesses::processes() const
{
    QList<RunningProcess> list;
    for (const Held &entry : held)
        list << entry.process;
    return list;
}

QList<RunningProcess> InstalledProcesses::waitForExit(int timeoutMs) const
{
    const ULONGLONG deadline =
        GetTickCount64() + static_cast<ULONGLONG>(timeoutMs > 0 ? timeoutMs : 0);
    const auto left = [deadline] {
        const ULONGLONG now = GetTickCount64();
        return now < deadline ? static_cast<DWORD>(deadline - now) : DWORD(0);
    };
    QList<RunningProcess> running;
    for (const Held &entry : held) {
        bool ended = false;
        if (entry.synchronize) {
            ended = WaitForSingleObject(entry.handle, left()) == WAIT_OBJECT_0;
        } else {
            // Without SYNCHRONIZE only its exit code tells.
            while (!(ended = hasEnded(entry.handle)) && left() > 0)
                Sleep(50);
        }
        if (!ended)
            running << entry.process;
    }
    return running;
}

QString processImageName(std::int64_t pid)
{
    const DWORD processId = static_cast<DWORD>(static_cast<std::uint64_t>(pid) & 0xFFFFFFFFu);
    const ProcessSnapshot snapshot;
    PROCESSENTRY32W entry{};
    if (!snapshot.isValid() || !snapshot.first(&entry))
        return QString();
    do {
        if (entry.th32ProcessID == processId)
            return QString::fromWCharArray(entry.szExeFile);
    } while (snapshot.next(&entry));
    return QString();
}

} // namespace Updater::Platform
