// The client for the updater's runs under Wine, copied as Orvalink.exe and Core.exe: plain Win32,
// so that it starts in a bare prefix. Every start appends "<image> <pid> started" to starts.log
// beside the program (the pid is the Windows one, for --wait-pid). Given a number of seconds, or
// the path of a file, it appends "<image> <pid> exited" after that long, or once the file exists,
// and ends; without an argument it runs until it is ended.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string utf8(const std::wstring &text)
{
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string result(std::size_t(length > 0 ? length - 1 : 0), '\0');
    if (length > 1)
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, result.data(), length, nullptr, nullptr);
    return result;
}

void record(const char *event)
{
    wchar_t buffer[MAX_PATH * 4];
    const DWORD length =
        GetModuleFileNameW(nullptr, buffer, DWORD(sizeof buffer / sizeof buffer[0]));
    const std::wstring self(buffer, length);
    const std::size_t slash = self.find_last_of(L"\\/");
    const std::wstring log = self.substr(0, slash + 1) + L"starts.log";
    if (std::FILE *file = _wfopen(log.c_str(), L"ab")) {
        std::fprintf(file, "%s %lu %s\n", utf8(self.substr(slash + 1)).c_str(),
                     static_cast<unsigned long>(GetCurrentProcessId()), event);
        std::fclose(file);
    }
}

} // namespace

int main(int argc, char **argv)
{
    record("started");
    if (argc < 2) {
        Sleep(INFINITE);
        return 0;
    }
    char *end = nullptr;
    const unsigned long seconds = std::strtoul(argv[1], &end, 10);
    if (*end == '\0') {
        Sleep(DWORD(seconds * 1000));
    } else {
        while (GetFileAttributesA(argv[1]) == INVALID_FILE_ATTRIBUTES)
            Sleep(50);
    }
    record("exited");
    return 0;
}
