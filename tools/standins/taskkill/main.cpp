// Stands in for the Windows taskkill program where there is none. Understands
//   taskkill [/F] (/IM <name> | /PID <id>) [/IM <name> | /PID <id> ...]
// and ends every process whose image name is <name>, compared without regard to ASCII case as
// Windows does, and the process with the id <id>: with /F by force (SIGKILL), without it by
// asking it to close (SIGTERM, where taskkill posts WM_CLOSE to its windows). It reports like
// taskkill: a SUCCESS line per ended or asked process on standard output, an ERROR line per name
// or id that matched nothing on standard error, and exits with 0 when every name and id matched,
// 128 when one matched nothing, 1 on other errors.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

namespace {

// The kernel keeps only this many characters of a program's name in comm.
constexpr std::size_t commLength = 15;

std::string lowered(std::string text)
{
    for (char &c : text) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

bool sameName(const std::string &a, const std::string &b)
{
    return lowered(a) == lowered(b);
}

std::string baseName(const std::string &path)
{
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Process
{
    pid_t pid = 0;
    std::string image;
};

// The image name of a running process if it is `name`. comm settles names that fit into it;
// a longer name is compared with the executable's file name and with argv[0].
bool imageOf(pid_t pid, const std::string &name, std::string *image)
{
    const std::string dir = "/proc/" + std::to_string(pid);
    const std::string stat = readFile(dir + "/stat");
    const auto open = stat.find('(');
    const auto close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open
        || close + 2 >= stat.size())
        return false;
    // A process that has ended but was not yet collected by its parent no longer runs.
    const char state = stat[close + 2];
    if (state == 'Z' || state == 'X')
        return false;
    const std::string comm = stat.substr(open + 1, close - open - 1);

    if (name.size() <= commLength) {
        if (!sameName(comm, name))
            return false;
        *image = comm;
        return true;
    }
    if (!sameName(comm, name.substr(0, commLength)))
        return false;

    std::vector<char> buffer(4096);
    const ssize_t length = readlink((dir + "/exe").c_str(), buffer.data(), buffer.size() - 1);
    if (length > 0) {
        std::string exe(buffer.data(), static_cast<std::size_t>(length));
        const std::string deleted = " (deleted)";
        if (exe.size() > deleted.size()
            && exe.compare(exe.size() - deleted.size(), deleted.size(), deleted) == 0)
            exe.resize(exe.size() - deleted.size());
        if (sameName(baseName(exe), name)) {
            *image = baseName(exe);
            return true;
        }
    }
    const std::string cmdline = readFile(dir + "/cmdline");
    const std::string argv0 = baseName(cmdline.substr(0, cmdline.find('\0')));
    if (sameName(argv0, name)) {
        *image = argv0;
        return true;
    }
    return false;
}

std::vector<Process> processesNamed(const std::string &name)
{
    std::vector<Process> found;
    DIR *proc = opendir("/proc");
    if (!proc)
        return found;
    const pid_t self = getpid();
    while (const dirent *entry = readdir(proc)) {
        char *end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0' || pid == self)
            continue;
        Process process;
        process.pid = static_cast<pid_t>(pid);
        if (imageOf(process.pid, name, &process.image))
            found.push_back(process);
    }
    closedir(proc);
    return found;
}

bool isProcessId(const std::string &text)
{
    return !text.empty() && text.size() <= 9
           && text.find_first_not_of("0123456789") == std::string::npos;
}

// name: empty, or the image name in quotes with a space before it.
void succeeded(bool force, const std::string &name, pid_t pid)
{
    if (force)
        std::printf("SUCCESS: The process%s with PID %d has been terminated.\n", name.c_str(),
                    static_cast<int>(pid));
    else
        std::printf("SUCCESS: Sent termination signal to the process%s with PID %d.\n",
                    name.c_str(), static_cast<int>(pid));
}

int usageError(const std::string &message)
{
    std::fprintf(stderr, "ERROR: %s\nType \"TASKKILL /?\" for usage.\n", message.c_str());
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    bool force = false;
    std::vector<std::string> names;
    std::vector<pid_t> ids;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (sameName(argument, "/F") && !force) {
            force = true;
        } else if (sameName(argument, "/IM") && i + 1 < argc && argv[i + 1][0] != '\0'
                   && argv[i + 1][0] != '/') {
            names.emplace_back(argv[++i]);
        } else if (sameName(argument, "/PID") && i + 1 < argc && isProcessId(argv[i + 1])) {
            ids.push_back(static_cast<pid_t>(std::atol(argv[++i])));
        } else {
            return usageError("Invalid argument/option - '" + argument + "'.");
        }
    }
    if (names.empty() && ids.empty())
        return usageError("Invalid syntax. Neither /IM nor /PID was specified.");
    const int signal = force ? SIGKILL : SIGTERM;

    bool missing = false;
    bool refused = false;
    for (const std::string &name : names) {
        bool ended = false;
        for (const Process &process : processesNamed(name)) {
            if (kill(process.pid, signal) == 0) {
                succeeded(force, " \"" + process.image + "\"", process.pid);
                ended = true;
            } else if (errno != ESRCH) {
                std::fprintf(stderr,
                             "ERROR: The process \"%s\" with PID %d could not be terminated.\n"
                             "Reason: Access is denied.\n",
                             process.image.c_str(), static_cast<int>(process.pid));
                refused = true;
                ended = true;
            }
        }
        if (!ended) {
            std::fprintf(stderr, "ERROR: The process \"%s\" not found.\n", name.c_str());
            missing = true;
        }
    }
    for (const pid_t pid : ids) {
        if (pid > 0 && pid != getpid() && kill(pid, signal) == 0) {
            succeeded(force, "", pid);
        } else if (pid <= 0 || pid == getpid() || errno == ESRCH) {
            std::fprintf(stderr, "ERROR: The process \"%d\" not found.\n", static_cast<int>(pid));
            missing = true;
        } else {
            std::fprintf(stderr,
                         "ERROR: The process with PID %d could not be terminated.\n"
                         "Reason: Access is denied.\n",
                         static_cast<int>(pid));
            refused = true;
        }
    }
    std::fflush(stdout);
    if (missing)
        return 128;
    return refused ? 1 : 0;
}
