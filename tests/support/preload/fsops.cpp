// A program for the tests of the preload libraries. Its arguments are file-system calls made in
// order; each prints one line, "ok" or the errno's name (EACCES, EBUSY...), and the program
// always goes on with the next one:
//   create PATH TEXT   open (O_WRONLY|O_CREAT|O_TRUNC), two writes, fsync, close
//   open-write PATH    open O_WRONLY and close     open-read PATH   open O_RDONLY and close
//   truncate PATH      truncate to 0 bytes          unlink PATH      rmdir PATH      mkdir PATH
//   rename FROM TO     link FROM TO                 symlink TEXT PATH
//   chmod PATH OCTAL   cd DIR (chdir)
//   threads N DIR      N threads that each make and remove 50 directories in DIR
// Exits with 0, or 99 for an unknown call.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

void report(int result)
{
    if (result >= 0) {
        std::puts("ok");
        return;
    }
    const char *name = strerrorname_np(errno);
    std::puts(name ? name : "E?");
}

int create(const char *path, const char *text)
{
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return -1;
    const size_t half = strlen(text) / 2;
    if (write(fd, text, half) < 0 || write(fd, text + half, strlen(text) - half) < 0
        || fsync(fd) < 0) {
        const int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return close(fd);
}

int openAndClose(const char *path, int flags)
{
    const int fd = open(path, flags);
    return fd < 0 ? -1 : close(fd);
}

int makeAndRemoveDirs(int threads, const std::string &dir)
{
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([t, &dir] {
            for (int i = 0; i < 50; ++i) {
                const std::string path = dir + "/t" + std::to_string(t) + "-" + std::to_string(i);
                mkdir(path.c_str(), 0755);
                rmdir(path.c_str());
            }
        });
    }
    for (std::thread &worker : workers)
        worker.join();
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    for (int i = 1; i < argc; ++i) {
        const std::string call = argv[i];
        const auto value = [&](int offset) {
            return i + offset < argc ? argv[i + offset] : "";
        };
        if (call == "create") {
            report(create(value(1), value(2)));
            i += 2;
        } else if (call == "open-write" || call == "open-read") {
            report(openAndClose(value(1), call == "open-write" ? O_WRONLY : O_RDONLY));
            i += 1;
        } else if (call == "truncate") {
            report(truncate(value(1), 0));
            i += 1;
        } else if (call == "unlink") {
            report(unlink(value(1)));
            i += 1;
        } else if (call == "rmdir") {
            report(rmdir(value(1)));
            i += 1;
        } else if (call == "mkdir") {
            report(mkdir(value(1), 0755));
            i += 1;
        } else if (call == "rename") {
            report(rename(value(1), value(2)));
            i += 2;
        } else if (call == "link") {
            report(link(value(1), value(2)));
            i += 2;
        } else if (call == "symlink") {
            report(symlink(value(1), value(2)));
            i += 2;
        } else if (call == "chmod") {
            report(chmod(value(1), static_cast<mode_t>(std::strtol(value(2), nullptr, 8))));
            i += 2;
        } else if (call == "cd") {
            report(chdir(value(1)));
            i += 1;
        } else if (call == "threads") {
            report(makeAndRemoveDirs(std::atoi(value(1)), value(2)));
            i += 2;
        } else {
            std::fprintf(stderr, "fsops: unknown call %s\n", call.c_str());
            return 99;
        }
    }
    return 0;
}
