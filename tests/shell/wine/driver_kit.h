// The Wine test driver's toolkit: start Tarvolo, find its windows by class and caption, send
// commands, read texts, menu states and progress positions, and record check results.
#ifndef TARVOLO_TESTS_SHELL_WINE_DRIVER_KIT_H
#define TARVOLO_TESTS_SHELL_WINE_DRIVER_KIT_H

#include <windows.h>

#include <string>
#include <vector>

// Checks print "ok" or "FAIL" with what was expected; failures make the exit status 1.
void check(bool passed, const std::string& what);
void checkEqual(const std::string& actual, const std::string& expected, const std::string& what);
int failures();

struct App {
    PROCESS_INFORMATION process{};
    HWND window = nullptr;
};

// Starts the program in `directory` and waits (up to 15 s) for its main window.
bool startApp(const std::string& exe, const std::string& directory, App* app);
// Waits up to `ms` for the program to end; true when it did.
bool waitForExit(App& app, DWORD ms);
void killApp(App& app);

// A top-level window of the program with this class and caption, waiting up to `ms`.
HWND findWindow(const App& app, const char* className, const std::string& caption, DWORD ms);
// Waits up to `ms` until `window` is gone.
bool waitGone(HWND window, DWORD ms);

void command(HWND window, UINT id);  // posts WM_COMMAND
std::string textOf(HWND window);
std::string itemText(HWND dialog, int id);
void setItemText(HWND dialog, int id, const std::string& text);
// The first static text child of a message box (its message).
std::string messageText(HWND box);
// The positions of the dialog's progress bars, top to bottom.
std::vector<int> progressPositions(HWND dialog);

// Whether a control (a dialog's item) is enabled.
bool itemEnabled(HWND dialog, int id);
// The visible top-level windows of the program, "class|caption" each.
std::vector<std::string> topLevelWindows(const App& app);

// The short (8.3) and long forms of an existing path, as the program's own calls give them.
std::string shortPath(const std::string& path);
std::string longPath(const std::string& path);

// Starts a Unix program by its Unix path. Wine runs it on its own: the call does not wait
// for it to end, so a caller waits for what it does (a file it writes).
bool runUnix(const std::string& commandLine);

// The main menu as the hook DLL dumps it, one line per item.
std::vector<std::string> menuDump(const App& app, const std::string& hookDll);

// Takes a PNG of the whole screen (imagemagick's import) into a Unix path, and waits until
// it has been written.
void screenshot(const std::string& unixPath);

std::string readFile(const std::string& path);
bool fileExists(const std::string& path);
void sleepMs(DWORD ms);

#endif
