// Console services on Windows (see console.h).
#include "cli/console.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

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

}  // namespace

void catchInterrupts(void (*onInterrupt)())
{
    interruptHook.store(onInterrupt);
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

bool interrupted() { return gotInterrupt.load(); }

bool stdoutIsTerminal() { return _isatty(_fileno(stdout)) != 0; }

void enableTerminalControl()
{
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (GetConsoleMode(out, &mode))
        SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
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
