// The station's platform needs on Windows (see station_platform.h). The station starts its
// workers in a process group of their own, so the console's Ctrl-C does not reach them; a
// broken pipe is an error return there, never a signal.
#include "station/station_platform.h"

#include <windows.h>

#include <csignal>

#include "output/file_name.h"

void leaveStopSignalsToTheStation() { std::signal(SIGINT, SIG_IGN); }

long currentProcessId() { return static_cast<long>(GetCurrentProcessId()); }

bool processRunning(long pid)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (!process)
        return GetLastError() == ERROR_ACCESS_DENIED;
    DWORD code = 0;
    const bool running = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
    CloseHandle(process);
    return running;
}

// The temporary folder is the user's own on Windows; a junction or link is never entered.
bool ownPlainFolder(const std::string& path)
{
    const DWORD attributes = GetFileAttributesW(pathOf(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

std::string machineName()
{
    char name[MAX_COMPUTERNAME_LENGTH + 1] = "";
    DWORD size = sizeof name;
    if (!GetComputerNameA(name, &size))
        return "station";
    return name;
}

bool diskQuotaExceeded(int) { return false; }  // Windows reports a quota as a full disk

// Line input stays on: the console still hands over whole lines, and Ctrl-C still reaches the
// station.
bool quietOperatorInput(unsigned long* saved)
{
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (input == INVALID_HANDLE_VALUE || !GetConsoleMode(input, &mode))
        return false;
    *saved = mode;
    return SetConsoleMode(input, mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT)) != 0;
}

void restoreOperatorInput(unsigned long saved)
{
    SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), static_cast<DWORD>(saved));
}
