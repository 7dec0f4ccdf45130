#include "interpose.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <limits.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>
#include <vector>

namespace Preload {

namespace {

// Set while the policy runs, so that whatever it calls goes straight to the C library.
__attribute__((tls_model("initial-exec"))) thread_local bool t_inPolicy = false;

// Calls the policy around one real call. perform() makes the real call.
template <typename Perform> auto guarded(const Call &call, Perform perform) -> decltype(perform())
{
    if (t_inPolicy)
        return perform();
    const int savedErrno = errno;
    t_inPolicy = true;
    const int refusal = before(call);
    t_inPolicy = false;
    if (refusal != 0) {
        errno = refusal;
        return -1;
    }
    errno = savedErrno;
    const auto result = perform();
    const int resultErrno = errno;
    t_inPolicy = true;
    after(call, static_cast<long>(result));
    t_inPolicy = false;
    errno = resultErrno;
    return result;
}

template <typename Function> Function next(const char *name)
{
    // The definition after ours in the search order: another preloaded library's or libc's.
    void *symbol = dlsym(RTLD_NEXT, name);
    if (!symbol) {
        static const char message[] = "preload: a C library function is missing\n";
        syscall(SYS_write, 2, message, sizeof message - 1);
        abort();
    }
    return reinterpret_cast<Function>(symbol);
}

#define NEXT(name, type) static const auto real = next<type>(name)

bool opensWithMode(int flags)
{
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

int openCall(const char *entry, int dirFd, const char *path, int flags, mode_t mode,
             int (*perform)(int, const char *, int, mode_t))
{
    const Call call{Op::Open, entry, dirFd, path, AT_FDCWD, nullptr, -1, flags};
    return guarded(call, [&] { return perform(dirFd, path, flags, mode); });
}

using OpenFn = int (*)(const char *, int, ...);
using OpenatFn = int (*)(int, const char *, int, ...);
using Open2Fn = int (*)(const char *, int);
using Openat2Fn = int (*)(int, const char *, int);

} // namespace

std::string absolutePath(int dirFd, const char *path)
{
    if (!path)
        return std::string();
    std::string joined;
    if (path[0] == '/') {
        joined = path;
    } else {
        char base[PATH_MAX];
        if (dirFd == AT_FDCWD) {
            if (!getcwd(base, sizeof base))
                return std::string();
        } else {
            const std::string link = "/proc/self/fd/" + std::to_string(dirFd);
            const ssize_t length = readlink(link.c_str(), base, sizeof base - 1);
            if (length <= 0)
                return std::string();
            base[length] = '\0';
        }
        joined = std::string(base) + "/" + path;
    }
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= joined.size()) {
        size_t end = joined.find('/', start);
        if (end == std::string::npos)
            end = joined.size();
        const std::string part = joined.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::string clean;
    for (const std::string &part : parts)
        clean += "/" + part;
    return clean.empty() ? std::string("/") : clean;
}

bool isUnder(const std::string &path, const std::string &dir)
{
    if (dir == "/")
        return true;
    return path.compare(0, dir.size(), dir) == 0
           && (path.size() == dir.size() || path[dir.size()] == '/');
}

int rawOpen(const char *path, int flags, mode_t mode)
{
    return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags | O_CLOEXEC, mode));
}

bool rawWriteAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const long written = syscall(SYS_write, fd, data, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

void rawClose(int fd)
{
    syscall(SYS_close, fd);
}

void appendLine(const std::string &path, const std::string &line)
{
    if (path.empty())
        return;
    const int fd = rawOpen(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd < 0)
        return;
    // One write per line: O_APPEND keeps the lines of several threads and processes whole.
    const std::string text = line + "\n";
    rawWriteAll(fd, text.data(), text.size());
    rawClose(fd);
}

void writeWholeFile(const std::string &path, const std::string &text)
{
    if (path.empty())
        return;
    const int fd = rawOpen(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return;
    rawWriteAll(fd, text.data(), text.size());
    rawClose(fd);
}

std::string environmentValue(const char *name)
{
    const char *value = getenv(name);
    return value ? std::string(value) : std::string();
}

} // namespace Preload

using namespace Preload;

// The wrappers. Their names are the C library's, so they are the only symbols these libraries
// export.
#define EXPORT extern "C" __attribute__((visibility("default")))

EXPORT int open(const char *path, int flags, ...)
{
    mode_t mode = 0;
    if (opensWithMode(flags)) {
        va_list arguments;
        va_start(arguments, flags);
        mode = va_arg(arguments, mode_t);
        va_end(arguments);
    }
    NEXT("open", OpenFn);
    return openCall("open", AT_FDCWD, path, flags, mode,
                    [](int, const char *p, int f, mode_t m) { return real(p, f, m); });
}

EXPORT int open64(const char *path, int flags, ...)
{
    mode_t mode = 0;
    if (opensWithMode(flags)) {
        va_list arguments;
        va_start(arguments, flags);
        mode = va_arg(arguments, mode_t);
        va_end(arguments);
    }
    NEXT("open64", OpenFn);
    return openCall("open64", AT_FDCWD, path, flags, mode,
                    [](int, const char *p, int f, mode_t m) { return real(p, f, m); });
}

EXPORT int openat(int dirFd, const char *path, int flags, ...)
{
    mode_t mode = 0;
    if (opensWithMode(flags)) {
        va_list arguments;
        va_start(arguments, flags);
        mode = va_arg(arguments, mode_t);
        va_end(arguments);
    }
    NEXT("openat", OpenatFn);
    return openCall("openat", dirFd, path, flags, mode,
                    [](int d, const char *p, int f, mode_t m) { return real(d, p, f, m); });
}

EXPORT int openat64(int dirFd, const char *path, int flags, ...)
{
    mode_t mode = 0;
    if (opensWithMode(flags)) {
        va_list arguments;
        va_start(arguments, flags);
        mode = va_arg(arguments, mode_t);
        va_end(arguments);
    }
    NEXT("openat64", OpenatFn);
    return openCall("openat64", dirFd, path, flags, mode,
                    [](int d, const char *p, int f, mode_t m) { return real(d, p, f, m); });
}

// The fortified forms, which code built with _FORTIFY_SOURCE calls when it passes no mode.
EXPORT int __open_2(const char *path, int flags)
{
    NEXT("__open_2", Open2Fn);
    return openCall("__open_2", AT_FDCWD, path, flags, 0,
                    [](int, const char *p, int f, mode_t) { return real(p, f); });
}

EXPORT int __open64_2(const char *path, int flags)
{
    NEXT("__open64_2", Open2Fn);
    return openCall("__open64_2", AT_FDCWD, path, flags, 0,
                    [](int, const char *p, int f, mode_t) { return real(p, f); });
}

EXPORT int __openat_2(int dirFd, const char *path, int flags)
{
    NEXT("__openat_2", Openat2Fn);
    return openCall("__openat_2", dirFd, path, flags, 0,
                    [](int d, const char *p, int f, mode_t) { return real(d, p, f); });
}

EXPORT int __openat64_2(int dirFd, const char *path, int flags)
{
    NEXT("__openat64_2", Openat2Fn);
    return openCall("__openat64_2", dirFd, path, flags, 0,
                    [](int d, const char *p, int f, mode_t) { return real(d, p, f); });
}

EXPORT int creat(const char *path, mode_t mode)
{
    NEXT("creat", int (*)(const char *, mode_t));
    return openCall("creat", AT_FDCWD, path, O_WRONLY | O_CREAT | O_TRUNC, mode,
                    [](int, const char *p, int, mode_t m) { return real(p, m); });
}

EXPORT int creat64(const char *path, mode_t mode)
{
    NEXT("creat64", int (*)(const char *, mode_t));
    return openCall("creat64", AT_FDCWD, path, O_WRONLY | O_CREAT | O_TRUNC, mode,
                    [](int, const char *p, int, mode_t m) { return real(p, m); });
}

EXPORT int rename(const char *from, const char *to)
{
    NEXT("rename", int (*)(const char *, const char *));
    return guarded(Call{Op::Rename, "rename", AT_FDCWD, from, AT_FDCWD, to},
                   [&] { return real(from, to); });
}

EXPORT int renameat(int fromDir, const char *from, int toDir, const char *to)
{
    NEXT("renameat", int (*)(int, const char *, int, const char *));
    return guarded(Call{Op::Rename, "renameat", fromDir, from, toDir, to},
                   [&] { return real(fromDir, from, toDir, to); });
}

EXPORT int renameat2(int fromDir, const char *from, int toDir, const char *to, unsigned int flags)
{
    NEXT("renameat2", int (*)(int, const char *, int, const char *, unsigned int));
    return guarded(
        Call{Op::Rename, "renameat2", fromDir, from, toDir, to, -1, static_cast<int>(flags)},
        [&] { return real(fromDir, from, toDir, to, flags); });
}

EXPORT int unlink(const char *path)
{
    NEXT("unlink", int (*)(const char *));
    return guarded(Call{Op::Unlink, "unlink", AT_FDCWD, path}, [&] { return real(path); });
}

EXPORT int unlinkat(int dirFd, const char *path, int flags)
{
    NEXT("unlinkat", int (*)(int, const char *, int));
    const Op op = (flags & AT_REMOVEDIR) ? Op::Rmdir : Op::Unlink;
    return guarded(Call{op, "unlinkat", dirFd, path, AT_FDCWD, nullptr, -1, flags},
                   [&] { return real(dirFd, path, flags); });
}

EXPORT int rmdir(const char *path)
{
    NEXT("rmdir", int (*)(const char *));
    return guarded(Call{Op::Rmdir, "rmdir", AT_FDCWD, path}, [&] { return real(path); });
}

EXPORT int mkdir(const char *path, mode_t mode)
{
    NEXT("mkdir", int (*)(const char *, mode_t));
    return guarded(Call{Op::Mkdir, "mkdir", AT_FDCWD, path}, [&] { return real(path, mode); });
}

EXPORT int mkdirat(int dirFd, const char *path, mode_t mode)
{
    NEXT("mkdirat", int (*)(int, const char *, mode_t));
    return guarded(Call{Op::Mkdir, "mkdirat", dirFd, path},
                   [&] { return real(dirFd, path, mode); });
}

EXPORT int link(const char *existing, const char *created)
{
    NEXT("link", int (*)(const char *, const char *));
    return guarded(Call{Op::Link, "link", AT_FDCWD, existing, AT_FDCWD, created},
                   [&] { return real(existing, created); });
}

EXPORT int linkat(int existingDir, const char *existing, int createdDir, const char *created,
                  int flags)
{
    NEXT("linkat", int (*)(int, const char *, int, const char *, int));
    return guarded(Call{Op::Link, "linkat", existingDir, existing, createdDir, created, -1, flags},
                   [&] { return real(existingDir, existing, createdDir, created, flags); });
}

EXPORT int symlink(const char *text, const char *created)
{
    NEXT("symlink", int (*)(const char *, const char *));
    return guarded(Call{Op::Symlink, "symlink", AT_FDCWD, text, AT_FDCWD, created},
                   [&] { return real(text, created); });
}

EXPORT int symlinkat(const char *text, int createdDir, const char *created)
{
    NEXT("symlinkat", int (*)(const char *, int, const char *));
    return guarded(Call{Op::Symlink, "symlinkat", AT_FDCWD, text, createdDir, created},
                   [&] { return real(text, createdDir, created); });
}

EXPORT int truncate(const char *path, off_t length)
{
    NEXT("truncate", int (*)(const char *, off_t));
    return guarded(Call{Op::Truncate, "truncate", AT_FDCWD, path},
                   [&] { return real(path, length); });
}

EXPORT int truncate64(const char *path, off64_t length)
{
    NEXT("truncate64", int (*)(const char *, off64_t));
    return guarded(Call{Op::Truncate, "truncate64", AT_FDCWD, path},
                   [&] { return real(path, length); });
}

EXPORT int ftruncate(int fd, off_t length)
{
    NEXT("ftruncate", int (*)(int, off_t));
    return guarded(Call{Op::Truncate, "ftruncate", AT_FDCWD, nullptr, AT_FDCWD, nullptr, fd},
                   [&] { return real(fd, length); });
}

EXPORT int ftruncate64(int fd, off64_t length)
{
    NEXT("ftruncate64", int (*)(int, off64_t));
    return guarded(Call{Op::Truncate, "ftruncate64", AT_FDCWD, nullptr, AT_FDCWD, nullptr, fd},
                   [&] { return real(fd, length); });
}

static Call fdCall(Op op, const char *entry, int fd)
{
    return Call{op, entry, AT_FDCWD, nullptr, AT_FDCWD, nullptr, fd};
}

EXPORT ssize_t write(int fd, const void *data, size_t size)
{
    NEXT("write", ssize_t(*)(int, const void *, size_t));
    return guarded(fdCall(Op::Write, "write", fd), [&] { return real(fd, data, size); });
}

EXPORT ssize_t writev(int fd, const struct iovec *parts, int count)
{
    NEXT("writev", ssize_t(*)(int, const struct iovec *, int));
    return guarded(fdCall(Op::Write, "writev", fd), [&] { return real(fd, parts, count); });
}

EXPORT ssize_t pwrite(int fd, const void *data, size_t size, off_t offset)
{
    NEXT("pwrite", ssize_t(*)(int, const void *, size_t, off_t));
    return guarded(fdCall(Op::Write, "pwrite", fd), [&] { return real(fd, data, size, offset); });
}

EXPORT ssize_t pwrite64(int fd, const void *data, size_t size, off64_t offset)
{
    NEXT("pwrite64", ssize_t(*)(int, const void *, size_t, off64_t));
    return guarded(fdCall(Op::Write, "pwrite64", fd), [&] { return real(fd, data, size, offset); });
}

EXPORT ssize_t pwritev(int fd, const struct iovec *parts, int count, off_t offset)
{
    NEXT("pwritev", ssize_t(*)(int, const struct iovec *, int, off_t));
    return guarded(fdCall(Op::Write, "pwritev", fd),
                   [&] { return real(fd, parts, count, offset); });
}

// QFile::copy writes the copy with sendfile.
EXPORT ssize_t sendfile(int outFd, int inFd, off_t *offset, size_t count)
{
    NEXT("sendfile", ssize_t(*)(int, int, off_t *, size_t));
    return guarded(fdCall(Op::Write, "sendfile", outFd),
                   [&] { return real(outFd, inFd, offset, count); });
}

EXPORT ssize_t sendfile64(int outFd, int inFd, off64_t *offset, size_t count)
{
    NEXT("sendfile64", ssize_t(*)(int, int, off64_t *, size_t));
    return guarded(fdCall(Op::Write, "sendfile64", outFd),
                   [&] { return real(outFd, inFd, offset, count); });
}

EXPORT ssize_t copy_file_range(int inFd, off64_t *inOffset, int outFd, off64_t *outOffset,
                               size_t count, unsigned int flags)
{
    NEXT("copy_file_range", ssize_t(*)(int, off64_t *, int, off64_t *, size_t, unsigned int));
    return guarded(fdCall(Op::Write, "copy_file_range", outFd),
                   [&] { return real(inFd, inOffset, outFd, outOffset, count, flags); });
}

EXPORT int fsync(int fd)
{
    NEXT("fsync", int (*)(int));
    return guarded(fdCall(Op::Sync, "fsync", fd), [&] { return real(fd); });
}

EXPORT int fdatasync(int fd)
{
    NEXT("fdatasync", int (*)(int));
    return guarded(fdCall(Op::Sync, "fdatasync", fd), [&] { return real(fd); });
}

EXPORT int chmod(const char *path, mode_t mode)
{
    NEXT("chmod", int (*)(const char *, mode_t));
    return guarded(Call{Op::Chmod, "chmod", AT_FDCWD, path}, [&] { return real(path, mode); });
}

EXPORT int lchmod(const char *path, mode_t mode)
{
    NEXT("lchmod", int (*)(const char *, mode_t));
    return guarded(
        Call{Op::Chmod, "lchmod", AT_FDCWD, path, AT_FDCWD, nullptr, -1, AT_SYMLINK_NOFOLLOW},
        [&] { return real(path, mode); });
}

EXPORT int fchmod(int fd, mode_t mode)
{
    NEXT("fchmod", int (*)(int, mode_t));
    return guarded(fdCall(Op::Chmod, "fchmod", fd), [&] { return real(fd, mode); });
}

EXPORT int fchmodat(int dirFd, const char *path, mode_t mode, int flags)
{
    NEXT("fchmodat", int (*)(int, const char *, mode_t, int));
    return guarded(Call{Op::Chmod, "fchmodat", dirFd, path, AT_FDCWD, nullptr, -1, flags},
                   [&] { return real(dirFd, path, mode, flags); });
}

EXPORT int close(int fd)
{
    NEXT("close", int (*)(int));
    if (t_inPolicy)
        return real(fd);
    const Call call = fdCall(Op::Close, "close", fd);
    t_inPolicy = true;
    const int refusal = before(call);
    t_inPolicy = false;
    const int result = real(fd);
    const int resultErrno = errno;
    t_inPolicy = true;
    after(call, result);
    t_inPolicy = false;
    if (refusal != 0) {
        errno = refusal;
        return -1;
    }
    errno = resultErrno;
    return result;
}
