// Makes a process on Linux meet the refusals that Windows makes, so that tests see the updater
// take the paths it takes there. Configured by environment variables, read once at load:
//
//   WINDOWS_RULES_RUNNING_IMAGES  ':'-separated files that are running images (an .exe or .dll
//       in use). Each is known by its identity (device and inode), taken when its path first
//       exists, so that an image renamed elsewhere stays one. Unlinking it, opening it for
//       writing or truncating it fails with EACCES; renaming it succeeds, renaming another entry
//       onto it fails with EACCES.
//       The process's own executable is always one.
//   WINDOWS_RULES_LOCKED_DIRS  ':'-separated directories that a handle is open in, known by
//       identity too.
//   A directory that holds an open handle (a locked directory, a running image or the calling
//       process's working directory, at any depth) cannot be renamed (EACCES); a locked
//       directory or the working directory cannot be removed, nor replaced by a rename (EACCES).
//       The entries inside such a directory can still be renamed.
//   The process's own executable is a running image too.
//   WINDOWS_RULES_OPEN_FILES_UNDER  ':'-separated directories: a regular file below one of them
//       that the process holds open cannot be unlinked, renamed or replaced, nor can a directory
//       holding one be renamed (Windows' C runtime and Qt open files without FILE_SHARE_DELETE).
//       Only where asked: Qt's QLockFile on Linux deletes the lock file it holds open, which its
//       Windows counterpart never does.
//   WINDOWS_RULES_DELETE_PENDING  ','-separated path=MS: a file that another process holds open
//       with FILE_SHARE_DELETE for MS milliseconds after it is deleted: its unlink succeeds, but
//       its name stays taken (opening, renaming, replacing or deleting it fails with EACCES, and
//       its directory is not empty and cannot be renamed) until then. Renaming it before the
//       unlink is allowed, and takes the pending name along.
//   WINDOWS_RULES_HELD  ','-separated path=N: a file that a scanner holds. The first N renames,
//       unlinks, replacements or opens for writing of it fail with EBUSY.
//   A directory whose owner write bit is clear (the read-only attribute) cannot be removed
//       (EACCES). Always on.
//   WINDOWS_RULES_LOG  a file that gets one line per refusal: "<rule> <call> <path> <errno>".
#include "interpose.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <mutex>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace Preload {

namespace {

struct Tracked
{
    std::string path;
    bool known = false;
    dev_t device = 0;
    ino_t inode = 0;
    std::atomic<long> refusalsLeft{0}; // held files only
    long pendingMs = 0;                // delete-pending files only
};

using Clock = std::chrono::steady_clock;

// A file deleted while another handle holds it: its name stays until that handle is closed.
struct Pending
{
    std::string path;
    dev_t device = 0;
    ino_t inode = 0;
    Clock::time_point until;
};

struct Rules
{
    std::vector<Tracked *> images;
    std::vector<Tracked *> lockedDirs;
    std::vector<Tracked *> held;
    std::vector<Tracked *> deletePending;
    std::vector<std::string> openFilesUnder;
    std::string log;
    std::mutex mutex; // guards taking identities, the open files and the pending deletions
    std::vector<std::pair<int, std::pair<dev_t, ino_t>>> openFiles;
    std::vector<Pending> pending;
};

// The pending deletion that the calling thread's unlink in progress makes, if any.
thread_local Pending t_unlinking;

std::vector<std::string> split(const std::string &text, char separator)
{
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(separator, start);
        if (end == std::string::npos)
            end = text.size();
        if (end > start)
            parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

Rules &rules()
{
    // Never destroyed: wrappers may still run while the process exits.
    static Rules *const instance = [] {
        auto *made = new Rules;
        for (const std::string &path :
             split(environmentValue("WINDOWS_RULES_RUNNING_IMAGES"), ':')) {
            made->images.push_back(new Tracked);
            made->images.back()->path = absolutePath(AT_FDCWD, path.c_str());
        }
        // The process's own executable is a running image too.
        made->images.push_back(new Tracked);
        made->images.back()->path = "/proc/self/exe";
        for (const std::string &path : split(environmentValue("WINDOWS_RULES_LOCKED_DIRS"), ':')) {
            made->lockedDirs.push_back(new Tracked);
            made->lockedDirs.back()->path = absolutePath(AT_FDCWD, path.c_str());
        }
        for (const std::string &item : split(environmentValue("WINDOWS_RULES_HELD"), ',')) {
            const size_t equals = item.rfind('=');
            if (equals == std::string::npos)
                continue;
            made->held.push_back(new Tracked);
            made->held.back()->path = absolutePath(AT_FDCWD, item.substr(0, equals).c_str());
            made->held.back()->refusalsLeft = std::atol(item.c_str() + equals + 1);
        }
        for (const std::string &item :
             split(environmentValue("WINDOWS_RULES_DELETE_PENDING"), ',')) {
            const size_t equals = item.rfind('=');
            if (equals == std::string::npos)
                continue;
            made->deletePending.push_back(new Tracked);
            made->deletePending.back()->path =
                absolutePath(AT_FDCWD, item.substr(0, equals).c_str());
            made->deletePending.back()->pendingMs = std::atol(item.c_str() + equals + 1);
        }
        for (const std::string &path :
             split(environmentValue("WINDOWS_RULES_OPEN_FILES_UNDER"), ':'))
            made->openFilesUnder.push_back(absolutePath(AT_FDCWD, path.c_str()));
        // The program itself runs from its image.
        char self[4096];
        const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
        if (length > 0) {
            made->images.push_back(new Tracked);
            made->images.back()->path = std::string(self, static_cast<size_t>(length));
        }
        made->log = environmentValue("WINDOWS_RULES_LOG");
        return made;
    }();
    return *instance;
}

// Takes the identity of every tracked path that exists by now and had none yet.
void takeIdentities()
{
    Rules &r = rules();
    const std::lock_guard<std::mutex> lock(r.mutex);
    for (auto *list : {&r.images, &r.lockedDirs, &r.held, &r.deletePending}) {
        for (Tracked *tracked : *list) {
            struct stat status
            {
            };
            if (tracked->known || stat(tracked->path.c_str(), &status) != 0)
                continue;
            tracked->device = status.st_dev;
            tracked->inode = status.st_ino;
            tracked->known = true;
        }
    }
}

Tracked *find(const std::vector<Tracked *> &list, const struct stat &status)
{
    for (Tracked *tracked : list) {
        if (tracked->known && tracked->device == status.st_dev && tracked->inode == status.st_ino)
            return tracked;
    }
    return nullptr;
}

bool isUnderAny(const std::string &path, const std::vector<std::string> &dirs)
{
    for (const std::string &dir : dirs) {
        if (isUnder(path, dir))
            return true;
    }
    return false;
}

// Ends the pending deletions whose holders have let go by now.
void settlePending()
{
    Rules &r = rules();
    const std::lock_guard<std::mutex> lock(r.mutex);
    const Clock::time_point now = Clock::now();
    for (auto it = r.pending.begin(); it != r.pending.end();) {
        if (it->until > now) {
            ++it;
            continue;
        }
        syscall(SYS_unlinkat, AT_FDCWD, it->path.c_str(), 0);
        it = r.pending.erase(it);
    }
}

bool isPendingDeletion(const struct stat &status)
{
    Rules &r = rules();
    const std::lock_guard<std::mutex> lock(r.mutex);
    for (const Pending &pending : r.pending) {
        if (pending.device == status.st_dev && pending.inode == status.st_ino)
            return true;
    }
    return false;
}

// A regular file that this process, or the holder of a pending deletion, has open.
bool isOpenFile(const struct stat &status)
{
    if (!S_ISREG(status.st_mode))
        return false;
    if (isPendingDeletion(status))
        return true;
    Rules &r = rules();
    const std::lock_guard<std::mutex> lock(r.mutex);
    for (const auto &open : r.openFiles) {
        if (open.second.first == status.st_dev && open.second.second == status.st_ino)
            return true;
    }
    return false;
}

bool isWorkingDirectory(const struct stat &status)
{
    struct stat cwd
    {
    };
    return stat(".", &cwd) == 0 && cwd.st_dev == status.st_dev && cwd.st_ino == status.st_ino;
}

bool isOpenDirectory(const struct stat &status)
{
    return find(rules().lockedDirs, status) || isWorkingDirectory(status);
}

// True when the entry at path, or anything below it, holds a handle open: a locked directory,
// the working directory or a running image. Links are not followed.
bool holdsOpenHandle(const std::string &path, int depth = 0)
{
    struct stat status
    {
    };
    if (lstat(path.c_str(), &status) != 0)
        return false;
    if (S_ISDIR(status.st_mode) && isOpenDirectory(status))
        return true;
    if (S_ISREG(status.st_mode))
        return find(rules().images, status) != nullptr || isOpenFile(status);
    if (!S_ISDIR(status.st_mode) || depth > 64)
        return false;
    DIR *dir = opendir(path.c_str());
    if (!dir)
        return false;
    bool holds = false;
    while (const dirent *entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
            continue;
        if (holdsOpenHandle(path + "/" + entry->d_name, depth + 1)) {
            holds = true;
            break;
        }
    }
    closedir(dir);
    return holds;
}

int refuse(const char *rule, const Call &call, int dirFd, const char *path, int error)
{
    if (!rules().log.empty()) {
        appendLine(rules().log, std::string(rule) + " " + call.entry + " "
                                    + absolutePath(dirFd, path) + " "
                                    + (error == EBUSY ? "EBUSY" : "EACCES"));
    }
    return error;
}

// A held file refuses while it has refusals left.
bool heldRefuses(const struct stat &status)
{
    Tracked *held = find(rules().held, status);
    if (!held)
        return false;
    long left = held->refusalsLeft.load();
    while (left > 0) {
        if (held->refusalsLeft.compare_exchange_weak(left, left - 1))
            return true;
    }
    return false;
}

bool statAt(int dirFd, const char *path, struct stat *status, bool followLinks)
{
    return path && fstatat(dirFd, path, status, followLinks ? 0 : AT_SYMLINK_NOFOLLOW) == 0;
}

// Opening for writing, truncating, unlinking.
int checkFileChange(const Call &call, bool followLinks)
{
    struct stat status
    {
    };
    if (!statAt(call.dirFd, call.path, &status, followLinks) || S_ISDIR(status.st_mode))
        return 0;
    if (find(rules().images, status))
        return refuse("running-image", call, call.dirFd, call.path, EACCES);
    if (isPendingDeletion(status))
        return refuse("delete-pending", call, call.dirFd, call.path, EACCES);
    if (call.op == Op::Unlink && isOpenFile(status))
        return refuse("open-file", call, call.dirFd, call.path, EACCES);
    if (heldRefuses(status))
        return refuse("held", call, call.dirFd, call.path, EBUSY);
    return 0;
}

// A file that another handle holds with FILE_SHARE_DELETE: noted before its unlink, so that its
// name is taken again once the unlink has gone through.
void notePendingDeletion(const Call &call)
{
    struct stat status
    {
    };
    if (!statAt(call.dirFd, call.path, &status, false) || !S_ISREG(status.st_mode))
        return;
    const Tracked *tracked = find(rules().deletePending, status);
    if (!tracked)
        return;
    t_unlinking.path = absolutePath(call.dirFd, call.path);
    t_unlinking.until = Clock::now() + std::chrono::milliseconds(tracked->pendingMs);
}

int checkRemoveDir(const Call &call)
{
    struct stat status
    {
    };
    if (!statAt(call.dirFd, call.path, &status, false) || !S_ISDIR(status.st_mode))
        return 0;
    if (!(status.st_mode & S_IWUSR))
        return refuse("read-only-dir", call, call.dirFd, call.path, EACCES);
    if (isOpenDirectory(status))
        return refuse("locked-dir", call, call.dirFd, call.path, EACCES);
    return 0;
}

// The entry that a rename moves away from its name.
int checkMovedAway(const Call &call, int dirFd, const char *path)
{
    struct stat status
    {
    };
    if (!statAt(dirFd, path, &status, false))
        return 0;
    if (S_ISDIR(status.st_mode) && holdsOpenHandle(absolutePath(dirFd, path)))
        return refuse("locked-dir", call, dirFd, path, EACCES);
    if (isPendingDeletion(status))
        return refuse("delete-pending", call, dirFd, path, EACCES);
    if (isOpenFile(status))
        return refuse("open-file", call, dirFd, path, EACCES);
    if (heldRefuses(status))
        return refuse("held", call, dirFd, path, EBUSY);
    return 0;
}

// The entry that a rename replaces, which is deleted by it.
int checkReplaced(const Call &call)
{
    struct stat status
    {
    };
    if ((call.flags & RENAME_NOREPLACE) || !statAt(call.dirFd2, call.path2, &status, false))
        return 0;
    if (S_ISDIR(status.st_mode) && isOpenDirectory(status))
        return refuse("locked-dir", call, call.dirFd2, call.path2, EACCES);
    if (find(rules().images, status))
        return refuse("running-image", call, call.dirFd2, call.path2, EACCES);
    if (isOpenFile(status))
        return refuse("open-file", call, call.dirFd2, call.path2, EACCES);
    if (heldRefuses(status))
        return refuse("held", call, call.dirFd2, call.path2, EBUSY);
    return 0;
}

bool opensForWriting(int flags)
{
    return (flags & O_ACCMODE) != O_RDONLY || (flags & O_TRUNC) != 0;
}

} // namespace

int before(const Call &call)
{
    if (call.op != Op::Close && call.op != Op::Write)
        settlePending();
    switch (call.op) {
    case Op::Open:
        if (!opensForWriting(call.flags) || (call.flags & O_TMPFILE) == O_TMPFILE) {
            // A file pending deletion cannot be opened at all.
            struct stat status
            {
            };
            if (statAt(call.dirFd, call.path, &status, true) && isPendingDeletion(status))
                return refuse("delete-pending", call, call.dirFd, call.path, EACCES);
            return 0;
        }
        takeIdentities();
        return checkFileChange(call, true);
    case Op::Truncate:
        if (!call.path)
            return 0; // the descriptor was opened for writing, which the rules let through
        takeIdentities();
        return checkFileChange(call, true);
    case Op::Unlink: {
        takeIdentities();
        if (const int refusal = checkFileChange(call, false))
            return refusal;
        notePendingDeletion(call);
        return 0;
    }
    case Op::Rmdir:
        takeIdentities();
        return checkRemoveDir(call);
    case Op::Rename: {
        takeIdentities();
        if (const int refusal = checkMovedAway(call, call.dirFd, call.path))
            return refusal;
        if (call.flags & RENAME_EXCHANGE)
            return checkMovedAway(call, call.dirFd2, call.path2);
        return checkReplaced(call);
    }
    default:
        return 0;
    }
}

void after(const Call &call, long result)
{
    Rules &r = rules();
    const std::lock_guard<std::mutex> lock(r.mutex);
    if (call.op == Op::Close) {
        for (auto it = r.openFiles.begin(); it != r.openFiles.end(); ++it) {
            if (it->first == call.fd) {
                r.openFiles.erase(it);
                break;
            }
        }
        return;
    }
    struct stat status
    {
    };
    if (call.op == Op::Open && result >= 0 && fstat(static_cast<int>(result), &status) == 0
        && S_ISREG(status.st_mode)
        && isUnderAny(absolutePath(call.dirFd, call.path), r.openFilesUnder))
        r.openFiles.emplace_back(static_cast<int>(result),
                                 std::make_pair(status.st_dev, status.st_ino));
    if (call.op == Op::Unlink && result == 0
        && t_unlinking.path == absolutePath(call.dirFd, call.path)) {
        // The name stays, held by the other handle: a file of its own stands for it.
        const int fd = static_cast<int>(syscall(SYS_openat, AT_FDCWD, t_unlinking.path.c_str(),
                                                O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        if (fd >= 0 && fstat(fd, &status) == 0) {
            t_unlinking.device = status.st_dev;
            t_unlinking.inode = status.st_ino;
            r.pending.push_back(t_unlinking);
        }
        if (fd >= 0)
            syscall(SYS_close, fd);
    }
    t_unlinking = Pending();
}

} // namespace Preload
