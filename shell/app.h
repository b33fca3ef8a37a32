// The Windows application's state and the operations its parts offer each other. The state is
// one App, made by WinMain and handed to the main window at its creation; every part reaches
// it through that window. Everything here runs on the user-interface thread unless a comment
// says otherwise.
#ifndef TARVOLO_SHELL_APP_H
#define TARVOLO_SHELL_APP_H

#include <windows.h>

#include <cstdint>
#include <string>

#include "settings/path_record.h"

struct SerialPort;

// The engine's outcome message to the main window; lParam is the DownloadResult, wParam the
// download it belongs to (the DownloadRun of app_download.cpp, alive while it is sent).
constexpr UINT kOutcomeMessage = WM_USER + 2;
constexpr UINT_PTR kProbeTimer = 999;         // the main window's port probe
constexpr UINT_PTR kDownloadTickTimer = 999;  // the download dialog's engine tick (own window)
constexpr UINT kTimerIntervalMs = 500;

struct App {
    HINSTANCE instance = nullptr;
    HWND mainWindow = nullptr;
    std::string startupDirectory;  // the current directory at start, drive included
    UINT_PTR probeTimerId = 0;     // 0 while stopped
    // The file the operator chose and the release file to send; their full paths are the
    // settings' paths.
    PathRecord sourceRecord{};
    PathRecord releaseRecord{};
};

// The App of the main window (kept in its GWLP_USERDATA since WM_NCCREATE).
App& appOf(HWND mainWindow);

// Main window (main_window.cpp).
void startProbeTimer(HWND window);
void stopProbeTimer(HWND window);
void setGangCheck(HWND window);
void setComChecks(HWND window, char digit);
void loadSettings(HWND window);
void saveSettings(HWND window);

// Ports (app_ports.cpp).
// Selects the port of `digit` and opens it with the standard line settings. keepOpen 0:
// closes it again and returns nullptr, silently. keepOpen 1: returns the open port, or shows
// the "Com port error" box and returns nullptr.
SerialPort* openPort(char digit, HWND window, int keepOpen);
void probePorts(HWND window);
void portSettingsCommand(HWND window);

// File selection and conversion (app_files.cpp).
void openAndDownloadCommand(HWND window);
void goCommand(HWND window);

// Download dialog and outcome (app_download.cpp).
// Opens the release file (its box when it cannot be opened), stops the probe timer and runs
// the download dialog; returns once the download has fully ended: dialog closed, reader
// thread ended, port and file closed.
void runDownload(HWND owner, const char* releasePath);
struct DownloadRun;
LRESULT downloadOutcome(DownloadRun& run, int32_t result);

// Help, About, Product ID and the common-dialog error reporter (app_dialogs.cpp).
void showHelpDialog(HWND owner, int dialogId);
void showAboutDialog(HWND owner);
void showProductIdDialog(HWND owner);
void reportDialogError(DWORD code, HWND owner);

#endif
