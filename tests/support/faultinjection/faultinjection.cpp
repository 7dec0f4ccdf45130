// Counts the file-system changes a process makes, across all its threads, and at the N-th one
// kills the process, fails the change or pauses it. A sweep over every N shows what an
// interrupted or failing update leaves behind. Configured by environment variables, read once
// at load:
//
//   FAULT_AT=N          1-based number of the change to act on; 0 or unset: only count.
//   FAULT_MODE          kill: SIGKILL right before change N is made;
//                       eio | enospc | eacces: change N fails with that errno, not made;
//                       pause: before change N, create FAULT_PAUSED_FILE and hold the thread
//                       until that file is gone (at most FAULT_PAUSE_MAX_MS, 60000 by default).
//   FAULT_COUNT_FILE    receives the number of changes so far at exit and at the fault.
//   FAULT_TRACE         receives one line per change: "<n> <call> <path>[ -> <path>]".
//   FAULT_PROCESS       act only in processes whose executable's file name is this; unset:
//                       in every process that loads the library (children inherit LD_PRELOAD).
//   FAULT_ROOTS         ':'-separated directories; changes elsewhere are not counted. Unset: all.
//
// Counted changes: an open that may write (O_WRONLY, O_RDWR, O_CREAT, O_TRUNC, O_TMPFILE), the
// first write to each descriptor opened so (write, pwrite, writev, sendfile, copy_file_range;
// later writes would put thousands of points into every download), fsync/fdatasync, closing a
// descriptor that was written, truncate/ftruncate, rename, unlink, mkdir, rmdir, link, symlink,
// chmod/fchmod. Never counted: /proc, /sys, /dev, the X11 sockets and the runtime directory
// ($XDG_RUNTIME_DIR, Qt's /tmp/runtime-<user>), and descriptors duplicated with dup or fcntl.
#include "interpose.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits.h>
#include <pwd.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace Preload {

namespace {

enum class Mode { Kill, Fail, Pause };

struct Settings
{
    bool active = false;
    long faultAt = 0;
    Mode mode = Mode::Kill;
    int failErrno = 0;
    std::string countFile;
    std::string trace;
    std::string pausedFile;
    long pauseMaxMs = 60000;
    std::vector<std::string> roots;
    std::vector<std::string> ignored;
};

// What the library knows of a descriptor, indexed by its number.
constexpr unsigned char Unknown = 0, ReadOnly = 1, Writable = 2, Written = 3;
constexpr int maxTrackedFd = 1 << 16;
std::atomic<unsigned char> g_fdState[maxTrackedFd];
std::atomic<char *> g_fdPath[maxTrackedFd];

std::atomic<long> g_count{0};

std::vector<std::string> split(const std::string &text)
{
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(':', start);
        if (end == std::string::npos)
            end = text.size();
        if (end > start)
            parts.push_back(absolutePath(AT_FDCWD, text.substr(start, end - start).c_str()));
        start = end + 1;
    }
    return parts;
}

std::string executableName()
{
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0)
        return std::string();
    path[length] = '\0';
    const char *slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

const Settings &settings()
{
    static const Settings *const instance = [] {
        auto *made = new Settings;
        const std::string process = environmentValue("FAULT_PROCESS");
        made->active = process.empty() || process == executableName();
        made->faultAt = std::atol(environmentValue("FAULT_AT").c_str());
        const std::string mode = environmentValue("FAULT_MODE");
        if (mode == "eio" || mode == "enospc" || mode == "eacces") {
            made->mode = Mode::Fail;
            made->failErrno = mode == "eio" ? EIO : mode == "enospc" ? ENOSPC : EACCES;
        } else if (mode == "pause") {
            made->mode = Mode::Pause;
        } else if (!mode.empty() && mode != "kill") {
            const std::string message = "faultinjection: unknown FAULT_MODE " + mode + "\n";
            rawWriteAll(2, message.data(), message.size());
            made->faultAt = 0;
        }
        made->countFile = environmentValue("FAULT_COUNT_FILE");
        made->trace = environmentValue("FAULT_TRACE");
        made->pausedFile = environmentValue("FAULT_PAUSED_FILE");
        const std::string pauseMax = environmentValue("FAULT_PAUSE_MAX_MS");
        if (!pauseMax.empty())
            made->pauseMaxMs = std::atol(pauseMax.c_str());
        made->roots = split(environmentValue("FAULT_ROOTS"));
        made->ignored = {"/proc", "/sys", "/dev", "/tmp/.X11-unix", "/tmp/.ICE-unix"};
        const std::string runtime = environmentValue("XDG_RUNTIME_DIR");
        if (!runtime.empty())
            made->ignored.push_back(absolutePath(AT_FDCWD, runtime.c_str()));
        if (const passwd *user = getpwuid(geteuid()))
            made->ignored.push_back(std::string("/tmp/runtime-") + user->pw_name);
        return made;
    }();
    return *instance;
}

bool inScope(const std::string &path)
{
    if (path.empty())
        return false;
    const Settings &s = settings();
    for (const std::string &dir : s.ignored) {
        if (isUnder(path, dir))
            return false;
    }
    if (s.roots.empty())
        return true;
    for (const std::string &root : s.roots) {
        if (isUnder(path, root))
            return true;
    }
    return false;
}

bool tracked(int fd)
{
    return fd >= 0 && fd < maxTrackedFd;
}

unsigned char stateOf(int fd)
{
    return tracked(fd) ? g_fdState[fd].load() : Unknown;
}

std::string pathOf(int fd)
{
    const char *path = tracked(fd) ? g_fdPath[fd].load() : nullptr;
    return path ? path : "?";
}

void forget(int fd)
{
    if (!tracked(fd))
        return;
    g_fdState[fd] = Unknown;
    free(g_fdPath[fd].exchange(nullptr));
}

void writeCount()
{
    writeWholeFile(settings().countFile, std::to_string(g_count.load()) + "\n");
}

void pauseHere()
{
    const Settings &s = settings();
    writeWholeFile(s.pausedFile, std::to_string(getpid()) + "\n");
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(s.pauseMaxMs);
    struct stat status
    {
    };
    while (!s.pausedFile.empty() && stat(s.pausedFile.c_str(), &status) == 0
           && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

// Counts one change; 0 to let it happen, or the errno it fails with.
int change(const Call &call, const std::string &description)
{
    const Settings &s = settings();
    const long number = ++g_count;
    if (!s.trace.empty())
        appendLine(s.trace, std::to_string(number) + " " + call.entry + " " + description);
    if (number != s.faultAt)
        return 0;
    writeCount();
    switch (s.mode) {
    case Mode::Kill:
        kill(getpid(), SIGKILL);
        for (;;)
            pause();
    case Mode::Fail:
        return s.failErrno;
    case Mode::Pause:
        pauseHere();
        return 0;
    }
    return 0;
}

int pathChange(const Call &call)
{
    const std::string path = absolutePath(call.dirFd, call.path);
    return inScope(path) ? change(call, path) : 0;
}

bool mayWrite(int flags)
{
    return (flags & O_ACCMODE) != O_RDONLY || (flags & (O_CREAT | O_TRUNC)) != 0
           || (flags & O_TMPFILE) == O_TMPFILE;
}

} // namespace

int before(const Call &call)
{
    if (!settings().active)
        return 0;
    switch (call.op) {
    case Op::Open:
        return mayWrite(call.flags) ? pathChange(call) : 0;
    case Op::Rename:
    case Op::Link: {
        const std::string from = absolutePath(call.dirFd, call.path);
        const std::string to = absolutePath(call.dirFd2, call.path2);
        // A file made with O_TMPFILE is named through its descriptor: linkat(fd, "", ...,
        // AT_EMPTY_PATH) or linkat of /proc/self/fd/N.
        std::string source = from;
        if (!call.path || !*call.path)
            source = pathOf(call.dirFd);
        else if (from.compare(0, 14, "/proc/self/fd/") == 0)
            source = pathOf(std::atoi(from.c_str() + 14)) + " (" + from + ")";
        if (!inScope(from) && !inScope(to))
            return 0;
        return change(call, source + " -> " + to);
    }
    case Op::Symlink: {
        const std::string created = absolutePath(call.dirFd2, call.path2);
        return inScope(created) ? change(call, created + " (" + call.path + ")") : 0;
    }
    case Op::Unlink:
    case Op::Rmdir:
    case Op::Mkdir:
        return pathChange(call);
    case Op::Truncate:
    case Op::Chmod:
        if (call.path)
            return pathChange(call);
        return stateOf(call.fd) >= (call.op == Op::Chmod ? ReadOnly : Writable)
                   ? change(call, pathOf(call.fd))
                   : 0;
    case Op::Write:
        return stateOf(call.fd) == Writable ? change(call, pathOf(call.fd)) : 0;
    case Op::Sync:
        return stateOf(call.fd) >= Writable ? change(call, pathOf(call.fd)) : 0;
    case Op::Close:
        return stateOf(call.fd) == Written ? change(call, pathOf(call.fd)) : 0;
    }
    return 0;
}

void after(const Call &call, long result)
{
    if (!settings().active)
        return;
    if (call.op == Op::Close) {
        forget(call.fd);
        return;
    }
    if (result < 0)
        return;
    if (call.op == Op::Open) {
        const int fd = static_cast<int>(result);
        forget(fd);
        const std::string path = absolutePath(call.dirFd, call.path);
        if (!tracked(fd) || !inScope(path))
            return;
        g_fdPath[fd] = strdup(path.c_str());
        g_fdState[fd] = mayWrite(call.flags) ? Writable : ReadOnly;
    } else if (call.op == Op::Write && stateOf(call.fd) == Writable) {
        g_fdState[call.fd] = Written;
    }
}

namespace {

// The count of a process that ends normally; a killed one has written it at the fault.
__attribute__((destructor)) void writeCountAtExit()
{
    if (settings().active && !settings().countFile.empty())
        writeCount();
}

} // namespace

} // namespace Preload
