// The Wine test driver's toolkit (see driver_kit.h).
#include "tests/shell/wine/driver_kit.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace {

int failureCount = 0;


struct Search {
    DWORD processId;
    const char* className;
    std::string caption;
    HWND found;
};

BOOL CALLBACK matchTopLevel(HWND window, LPARAM data)
{
    auto* search = reinterpret_cast<Search*>(data);
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (processId != search->processId || !IsWindowVisible(window))
        return TRUE;
    char name[64];
    GetClassNameA(window, name, sizeof name);
    if (lstrcmpiA(name, search->className) != 0 || textOf(window) != search->caption)
        return TRUE;
    search->found = window;
    return FALSE;
}

struct TopLevel {
    DWORD processId;
    std::vector<std::string> found;
};

BOOL CALLBACK collectTopLevel(HWND window, LPARAM data)
{
    auto* list = reinterpret_cast<TopLevel*>(data);
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (processId != list->processId || !IsWindowVisible(window))
        return TRUE;
    char name[64];
    GetClassNameA(window, name, sizeof name);
    list->found.push_back(std::string(name) + "|" + textOf(window));
    return TRUE;
}

BOOL CALLBACK collectBars(HWND window, LPARAM data)
{
    char name[64];
    GetClassNameA(window, name, sizeof name);
    if (lstrcmpiA(name, PROGRESS_CLASSA) == 0)
        reinterpret_cast<std::vector<HWND>*>(data)->push_back(window);
    return TRUE;
}

BOOL CALLBACK firstStatic(HWND window, LPARAM data)
{
    char name[64];
    GetClassNameA(window, name, sizeof name);
    auto* text = reinterpret_cast<std::string*>(data);
    if (lstrcmpiA(name, "Static") == 0 && GetDlgCtrlID(window) != 20 && text->empty()) {
        *text = textOf(window);  // id 20 is the message box's icon
        return text->empty();
    }
    return TRUE;
}

}  // namespace

void check(bool passed, const std::string& what)
{
    std::printf("%s %s\n", passed ? "ok  " : "FAIL", what.c_str());
    std::fflush(stdout);
    if (!passed)
        ++failureCount;
}

void checkEqual(const std::string& actual, const std::string& expected, const std::string& what)
{
    check(actual == expected, what + (actual == expected ? "" : ": got \"" + actual +
                                                                   "\", expected \"" + expected + "\""));
}

int failures() { return failureCount; }

void sleepMs(DWORD ms) { Sleep(ms); }

bool startApp(const std::string& exe, const std::string& directory, App* app)
{
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    std::string line = "\"" + exe + "\"";
    if (!CreateProcessA(exe.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr,
                        directory.c_str(), &startup, &app->process))
        return false;
    app->window = findWindow(*app, "WinKM52WClass", "Tarvolo - Handset Flash Loader", 15000);
    return app->window != nullptr;
}

bool waitForExit(App& app, DWORD ms)
{
    return WaitForSingleObject(app.process.hProcess, ms) == WAIT_OBJECT_0;
}

void killApp(App& app)
{
    if (app.process.hProcess && !waitForExit(app, 0))
        TerminateProcess(app.process.hProcess, 99);
}

HWND findWindow(const App& app, const char* className, const std::string& caption, DWORD ms)
{
    for (DWORD waited = 0;; waited += 50) {
        Search search{app.process.dwProcessId, className, caption, nullptr};
        EnumWindows(matchTopLevel, reinterpret_cast<LPARAM>(&search));
        if (search.found || waited >= ms)
            return search.found;
        Sleep(50);
    }
}

bool waitGone(HWND window, DWORD ms)
{
    for (DWORD waited = 0; IsWindow(window); waited += 50) {
        if (waited >= ms)
            return false;
        Sleep(50);
    }
    return true;
}

void command(HWND window, UINT id)
{
    PostMessageA(window, WM_COMMAND, MAKEWPARAM(id, 0), 0);
}

std::string textOf(HWND window)
{
    char text[1024] = "";
    DWORD_PTR copied = 0;
    SendMessageTimeoutA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text),
                        SMTO_ABORTIFHUNG, 2000, &copied);
    return text;
}

std::string itemText(HWND dialog, int id)
{
    return textOf(GetDlgItem(dialog, id));
}

void setItemText(HWND dialog, int id, const std::string& text)
{
    SendMessageA(GetDlgItem(dialog, id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

std::string messageText(HWND box)
{
    std::string text;
    EnumChildWindows(box, firstStatic, reinterpret_cast<LPARAM>(&text));
    return text;
}

std::vector<int> progressPositions(HWND dialog)
{
    std::vector<HWND> bars;
    EnumChildWindows(dialog, collectBars, reinterpret_cast<LPARAM>(&bars));
    std::vector<std::pair<LONG, int>> byTop;
    for (HWND bar : bars) {
        RECT r;
        GetWindowRect(bar, &r);
        byTop.emplace_back(r.top, static_cast<int>(SendMessageA(bar, PBM_GETPOS, 0, 0)));
    }
    std::sort(byTop.begin(), byTop.end());
    std::vector<int> positions;
    for (const auto& entry : byTop)
        positions.push_back(entry.second);
    return positions;
}

bool itemEnabled(HWND dialog, int id)
{
    HWND item = GetDlgItem(dialog, id);
    return item && IsWindowEnabled(item);
}

std::vector<std::string> topLevelWindows(const App& app)
{
    TopLevel list{app.process.dwProcessId, {}};
    EnumWindows(collectTopLevel, reinterpret_cast<LPARAM>(&list));
    return list.found;
}

std::string shortPath(const std::string& path)
{
    char out[MAX_PATH * 2] = "";
    const DWORD n = GetShortPathNameA(path.c_str(), out, sizeof out);
    return n > 0 && n < sizeof out ? out : "";
}

std::string longPath(const std::string& path)
{
    char out[MAX_PATH * 2] = "";
    const DWORD n = GetLongPathNameA(path.c_str(), out, sizeof out);
    return n > 0 && n < sizeof out ? out : "";
}

namespace {

// Hooks the DLL into the program's user-interface thread (once per driver run).
bool hookInstalled(const App& app, const std::string& hookDll)
{
    static HMODULE dll = LoadLibraryA(hookDll.c_str());
    static HHOOK hook = nullptr;
    if (dll && !hook) {
        auto proc = reinterpret_cast<HOOKPROC>(reinterpret_cast<void*>(GetProcAddress(dll, "menuHookProc")));
        hook = SetWindowsHookExA(WH_GETMESSAGE, proc, dll, app.process.dwThreadId);
    }
    return hook != nullptr;
}

}  // namespace

bool runUnix(const std::string& commandLine)
{
    // Wine starts a Unix program given by its Unix path.
    std::string line = commandLine;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return false;
    WaitForSingleObject(process.hProcess, 20000);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

std::vector<std::string> menuDump(const App& app, const std::string& hookDll)
{
    if (!hookInstalled(app, hookDll))
        return {"hook DLL not loaded"};
    const std::string path = hookDll.substr(0, hookDll.find_last_of('\\') + 1) + "menu-dump.txt";
    DeleteFileA(path.c_str());
    PostMessageA(app.window, RegisterWindowMessageA("TarvoloTestMenuDump"), 0, 0);
    for (int waited = 0; !fileExists(path) && waited < 5000; waited += 50)
        Sleep(50);
    std::vector<std::string> lines;
    std::istringstream in(readFile(path));
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void screenshot(const std::string& unixPath)
{
    // import runs on its own (see runUnix) and the picture must be of the screen now, not of
    // the next step: it grabs the screen before it creates the file, seen here through drive
    // Z:, the root.
    std::string file = "Z:" + unixPath;
    std::replace(file.begin(), file.end(), '/', '\\');
    DeleteFileA(file.c_str());
    bool written = runUnix("/usr/bin/import -window root " + unixPath);
    for (int waited = 0; written && !fileExists(file); waited += 50) {
        written = waited < 10000;
        Sleep(50);
    }
    check(written, "screenshot " + unixPath);
}

bool fileExists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}
