// The program's entry point and its one top-level window: a gray client area under the menu
// through which every action starts. WinMain owns the App (the instance handle, the start-up
// directory and the 500 ms probe timer that keeps the COM items in step with the ports) and
// hands it to the window, which keeps it in its GWLP_USERDATA.
#include <windows.h>

#include <direct.h>
#include <cstdlib>

#include "engine/wire.h"
#include "resources/resource.h"
#include "shell/app.h"
#include "settings/path_record.h"
#include "settings/settings.h"

namespace {

constexpr char kClassName[] = "WinKM52WClass";
constexpr char kWindowTitle[] = "Tarvolo - Handset Flash Loader";

void checkItem(HWND window, UINT id, bool checked)
{
    CheckMenuItem(GetMenu(window), id, MF_BYCOMMAND | (checked ? MF_CHECKED : MF_UNCHECKED));
}

void selectMode(HWND window, int32_t mode)
{
    settings.downloadMode = mode;
    checkItem(window, IDM_NORMAL_DOWNLOAD, mode == kModeNormal);
    checkItem(window, IDM_ERASE_AND_DOWNLOAD, mode == kModeEraseAndDownload);
    checkItem(window, IDM_PATCH_FLASH, mode == kModePatch);
}

LRESULT onCreate(HWND window)
{
    loadSettings(window);
    openPort(settings.portDigit, window, 0);
    probePorts(window);
    setGangCheck(window);
    startProbeTimer(window);
    return 0;
}

LRESULT onDestroy(HWND window)
{
    saveSettings(window);
    PostQuitMessage(0);
    return 0;
}

LRESULT onTimer(HWND window)
{
    if (appOf(window).probeTimerId != 0)
        probePorts(window);
    return 0;
}

// Returns false for ids the menu does not have.
bool runCommand(HWND window, UINT id)
{
    switch (id) {
    case IDM_OPEN_AND_DOWNLOAD: openAndDownloadCommand(window); break;
    case IDM_EXIT: PostQuitMessage(0); break;  // leaves without saving, on purpose
    case IDM_ABOUT: showAboutDialog(window); break;
    case IDM_GANG_MODE:
        settings.gangMode = settings.gangMode == 0 ? 1 : 0;
        setGangCheck(window);
        break;
    case IDM_PORT_SETTINGS: portSettingsCommand(window); break;
    case IDM_COM1: case IDM_COM2: case IDM_COM3: case IDM_COM4:
        openPort(static_cast<char>('1' + (id - IDM_COM1)), window, 0);
        break;
    case IDM_GO: goCommand(window); break;
    case IDM_FILE_HELP: showHelpDialog(window, IDD_FILE_HELP); break;
    case IDM_OPTIONS_HELP: showHelpDialog(window, IDD_OPTIONS_HELP); break;
    case IDM_GO_HELP: showHelpDialog(window, IDD_GO_HELP); break;
    case IDM_PORT_HELP: showHelpDialog(window, IDD_PORT_HELP); break;
    case IDM_NORMAL_DOWNLOAD: selectMode(window, kModeNormal); break;
    case IDM_ERASE_AND_DOWNLOAD: selectMode(window, kModeEraseAndDownload); break;
    case IDM_PATCH_FLASH: selectMode(window, kModePatch); break;
    case IDM_PRODUCT_ID: showProductIdDialog(window); break;
    default: return false;
    }
    return true;
}

// The first message that carries CreateWindowEx's parameter: from here on the window reaches
// its App.
void attachApp(HWND window, LPARAM lParam)
{
    App* app = static_cast<App*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
    app->mainWindow = window;
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(app));
}

LRESULT CALLBACK mainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE)
        attachApp(window, lParam);
    // Before WM_NCCREATE and after WinMain has let go of its App, the window is only a window.
    if (GetWindowLongPtrA(window, GWLP_USERDATA) == 0)
        return DefWindowProcA(window, message, wParam, lParam);
    switch (message) {
    case WM_CREATE: return onCreate(window);
    case WM_DESTROY: return onDestroy(window);
    case WM_COMMAND:
        if (runCommand(window, LOWORD(wParam)))
            return 0;
        break;
    case WM_TIMER: return onTimer(window);
    case kOutcomeMessage:
        return downloadOutcome(*reinterpret_cast<DownloadRun*>(wParam),
                               static_cast<int32_t>(lParam));
    default: break;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

// The current directory at start: the settings file and the conversion live there. No
// length limit, so that a deep directory still finds its settings file.
std::string startupDirectory()
{
    char* directory = _getcwd(nullptr, 0);
    const std::string path = directory ? directory : "";
    std::free(directory);
    return path;
}

bool registerMainClass(HINSTANCE instance)
{
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = mainWindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_TARVOLO));
    windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(GRAY_BRUSH));
    windowClass.lpszMenuName = "WinKM52Menu";
    windowClass.lpszClassName = "WinKm52WClass";
    return RegisterClassA(&windowClass) != 0;
}

}  // namespace

App& appOf(HWND mainWindow)
{
    return *reinterpret_cast<App*>(GetWindowLongPtrA(mainWindow, GWLP_USERDATA));
}

void startProbeTimer(HWND window)
{
    appOf(window).probeTimerId = SetTimer(window, kProbeTimer, kTimerIntervalMs, nullptr);
}

void stopProbeTimer(HWND window)
{
    App& app = appOf(window);
    KillTimer(window, app.probeTimerId);
    app.probeTimerId = 0;
}

void setGangCheck(HWND window)
{
    checkItem(window, IDM_GANG_MODE, settings.gangMode != 0);
}

void setComChecks(HWND window, char digit)
{
    const UINT chosen = digit >= '1' && digit <= '4' ? IDM_COM1 + (digit - '1') : IDM_COM1;
    for (UINT id = IDM_COM1; id <= IDM_COM4; ++id)
        checkItem(window, id, id == chosen);
}

void loadSettings(HWND window)
{
    App& app = appOf(window);
    loadSettingsFile(settingsFilePath(app.startupDirectory, '\\').c_str(), &settings);
    setFullPath(&app.sourceRecord, settings.sourcePath);
    setFullPath(&app.releaseRecord, settings.releasePath);
}

void saveSettings(HWND window)
{
    saveSettingsFile(settingsFilePath(appOf(window).startupDirectory, '\\').c_str(), settings);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand)
{
    App app;
    app.instance = instance;
    app.startupDirectory = startupDirectory();
    if (!registerMainClass(instance))
        return 0;
    const int width = GetSystemMetrics(SM_CXSCREEN) / 3;
    const int height = GetSystemMetrics(SM_CYSCREEN) / 3;
    HWND window = CreateWindowExA(0, kClassName, kWindowTitle, WS_OVERLAPPEDWINDOW, width, height,
                                  width, height, nullptr, nullptr, instance, &app);
    if (!window)
        return 0;
    ShowWindow(window, showCommand);
    UpdateWindow(window);
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    // The App ends with this function; a message the window still gets on the way out finds
    // none.
    SetWindowLongPtrA(window, GWLP_USERDATA, 0);
    return static_cast<int>(message.wParam);
}
