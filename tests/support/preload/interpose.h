#pragma once

// The plumbing the test-only LD_PRELOAD libraries share. interpose.cpp defines the C library's
// wrappers of the file-system calls (every name glibc 2.36 exports for them that Qt 6.4, our code,
// the stand-ins and libarchive import: open/open64/openat/openat64 and their fortified __open_2
// forms, creat, rename/renameat/renameat2, unlink/unlinkat, rmdir, mkdir/mkdirat, link/linkat,
// symlink/symlinkat, truncate/ftruncate, write/writev/pwrite/pwritev, sendfile/copy_file_range,
// fsync/fdatasync, chmod/fchmod/fchmodat/lchmod, close), describes each call as a Call and asks
// the library's policy, which every library defines once, whether it may go ahead.
//
// Everything here is hidden: two of these libraries may be preloaded into one process at once,
// and each must keep its own policy.

#include <fcntl.h>
#include <string>
#include <sys/types.h>

namespace Preload {

enum class Op {
    Open,     // path, flags (the open flags); fd: the result, in after()
    Rename,   // path -> path2, flags (RENAME_*)
    Unlink,   // path, flags (AT_REMOVEDIR when unlinkat removes a directory)
    Rmdir,    // path
    Mkdir,    // path
    Link,     // path (the existing file) -> path2 (the new name); flags (AT_*)
    Symlink,  // path2 (the new link) holding the text path
    Truncate, // path, or fd when path is null
    Write,    // fd (write, pwrite, writev, sendfile, copy_file_range...)
    Sync,     // fd (fsync, fdatasync)
    Chmod,    // path (flags: AT_SYMLINK_NOFOLLOW for lchmod), or fd when path is null
    Close,    // fd
};

struct Call
{
    Op op;
    const char *entry; // the C library's name of the call, for logs
    int dirFd = AT_FDCWD;
    const char *path = nullptr;
    int dirFd2 = AT_FDCWD;
    const char *path2 = nullptr;
    int fd = -1;
    int flags = 0;
};

// Defined by each library. before() returns 0 to let the call go ahead, or the errno that the
// call fails with instead (the call is then not made; close() is the exception: the descriptor is
// released all the same, as Linux releases it even when close reports an error). after() sees
// the real call's result (-1 on failure, the new descriptor for Op::Open). Neither is called for
// the library's own file operations, nor for calls made while the library runs its policy.
int before(const Call &call);
void after(const Call &call, long result);

// The path as an absolute, lexically cleaned path (".", ".." and repeated slashes removed),
// relative paths taken from dirFd or the working directory. Empty when it cannot be told.
std::string absolutePath(int dirFd, const char *path);

// True when path is dir or lies below it; both clean and absolute.
bool isUnder(const std::string &path, const std::string &dir);

// The library's own files (logs, counts) bypass every wrapper, this library's and any other
// preloaded one's, by going to the kernel directly.
int rawOpen(const char *path, int flags, mode_t mode = 0600);
bool rawWriteAll(int fd, const char *data, size_t size);
void rawClose(int fd);
// Appends one line (a '\n' is added) to path, creating it; lines of concurrent callers never mix.
void appendLine(const std::string &path, const std::string &line);
// Replaces path's contents by text.
void writeWholeFile(const std::string &path, const std::string &text);

// An environment variable's value; empty when it is not set.
std::string environmentValue(const char *name);

} // namespace Preload
