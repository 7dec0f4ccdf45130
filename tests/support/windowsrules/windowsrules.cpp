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
//   WINDOWS_RULES_HELD  ','-separated path=N: a file that a scanner holds. The first N renames,
//       unlinks, replacements or opens for writing of it fail with EBUSY.
//   A directory whose owner write bit is clear (the read-only attribute) cannot be removed
//       (EACCES). Always on.
//   WINDOWS_RULES_LOG  a file that gets one line per refusal: "<rule> <call> <path> <errno>".
#include "interpose.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <mutex>
#include <sys/stat.h>
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
};

struct Rules
{
    std::vector<Tracked *> images;
    std::vector<Tracked *> lockedDirs;
    std::vector<Tracked *> held;
    std::string log;
    std::mutex mutex; // guards taking identities
};

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
    for (auto *list : {&r.images, &r.lockedDirs, &r.held}) {
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
        return find(rules().images, status) != nullptr;
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
    if (heldRefuses(status))
        return refuse("held", call, call.dirFd, call.path, EBUSY);
    return 0;
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
    switch (call.op) {
    case Op::Open:
        if (!opensForWriting(call.flags) || (call.flags & O_TMPFILE) == O_TMPFILE)
            return 0;
        takeIdentities();
        return checkFileChange(call, true);
    case Op::Truncate:
        if (!call.path)
            return 0; // the descriptor was opened for writing, which the rules let through
        takeIdentities();
        return checkFileChange(call, true);
    case Op::Unlink:
        takeIdentities();
        return checkFileChange(call, false);
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

void after(const Call &, long) {}

} // namespace Preload
