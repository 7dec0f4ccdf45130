// A program for process tests. Its arguments are steps carried out in order:
//   --stdout TEXT   write TEXT to standard output as given (no line break added)
//   --stderr TEXT   write TEXT to standard error as given
//   --fill-stderr N write N bytes ('x') to standard error, more than a pipe holds
//   --sleep MS      sleep MS milliseconds
//   --exit N        exit with code N at once
//   --abort         end by SIGABRT (a crash)
//   --ignore-term   ignore SIGTERM from here on (a program that does not close when asked)
// Without --exit it exits with 0 after the last step; an unknown step exits with 99.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string step = argv[i];
        if (step == "--abort") {
            std::raise(SIGABRT);
            return 98;
        }
        if (step == "--ignore-term") {
            std::signal(SIGTERM, SIG_IGN);
            continue;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "testhelper: %s needs a value\n", step.c_str());
            return 99;
        }
        const char *value = argv[++i];
        if (step == "--stdout") {
            std::fputs(value, stdout);
            std::fflush(stdout);
        } else if (step == "--stderr") {
            std::fputs(value, stderr);
            std::fflush(stderr);
        } else if (step == "--fill-stderr") {
            const std::string filler(static_cast<std::size_t>(std::atol(value)), 'x');
            std::fwrite(filler.data(), 1, filler.size(), stderr);
            std::fflush(stderr);
        } else if (step == "--sleep") {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(value)));
        } else if (step == "--exit") {
            return std::atoi(value);
        } else {
            std::fprintf(stderr, "testhelper: unknown step %s\n", step.c_str());
            return 99;
        }
    }
    return 0;
}
