// Console services on Windows (see console.h).
#include "cli/console.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <atomic>
#include <cstdio>

namespace {

std::atomic<bool> gotInterrupt{false};
std::atomic<void (*)()> interruptHook{nullptr};

BOOL WINAPI onConsoleEvent(DWORD)
{
    gotInterrupt.store(true);
    if (void (*hook)() = interruptHook.load())
        hook();
    return TRUE;
}

std::string utf8Of(const wchar_t* text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1)
        return {};
    std::string utf8(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &utf8[0], size, nullptr, nullptr);
    utf8.resize(static_cast<size_t>(size - 1));
    return utf8;
}

}  // namespace

std::vector<std::string> commandLine(int argc, char** argv)
{
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!wide)
        return {argv, argv + argc};
    std::vector<std::string> arguments;
    for (int i = 0; i < count; ++i)
        arguments.push_back(utf8Of(wide[i]));
    LocalFree(wide);
    return arguments;
}

void catchInterrupts(void (*onInterrupt)())
{
    interruptHook.store(onInterrupt);
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

bool interrupted() { return gotInterrupt.load(); }

bool stdoutIsTerminal() { return _isatty(_fileno(stdout)) != 0; }

bool stdoutIsJournal() { return false; }  // no journal on Windows

void enableTerminalControl()
{
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (GetConsoleMode(out, &mode))
        SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
    // What the live view prints is UTF-8 (an operator's "Zoë", the cut mark of a long name).
    SetConsoleOutputCP(CP_UTF8);
}

int terminalColumns()
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) {
        const int columns = info.srWindow.Right - info.srWindow.Left + 1;
        if (columns > 20)
            return columns;
    }
    return 80;
}

void keepStdoutBytes()
{
    std::fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
}
