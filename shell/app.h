// The Windows application's shared state and the operations its parts offer each other.
// Everything here runs on the user-interface thread unless a comment says otherwise.
#ifndef TARVOLO_SHELL_APP_H
#define TARVOLO_SHELL_APP_H

#include <windows.h>

#include <cstdint>
#include <string>

struct SerialPort;

// The engine's outcome message to the main window; lParam is the DownloadResult.
constexpr UINT kOutcomeMessage = WM_USER + 2;
constexpr UINT_PTR kProbeTimer = 999;         // the main window's port probe
constexpr UINT_PTR kDownloadTickTimer = 999;  // the download dialog's engine tick (own window)
constexpr UINT kTimerIntervalMs = 500;

extern HINSTANCE appInstance;
extern HWND mainWindow;
extern std::string startupDirectory;  // the current directory at start, drive included
extern UINT_PTR probeTimerId;         // 0 while stopped

// Main window (main_window.cpp).
void startProbeTimer(HWND window);
void stopProbeTimer(HWND window);
void setGangCheck(HWND window);
void setComChecks(HWND window, char digit);
void loadSettings();
void saveSettings();

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
LRESULT downloadOutcome(int32_t result);

// Help, About, Product ID and the common-dialog error reporter (app_dialogs.cpp).
void showHelpDialog(HWND owner, int dialogId);
void showAboutDialog(HWND owner);
void showProductIdDialog(HWND owner);
void reportDialogError(DWORD code, HWND owner);

#endif
