// One download inside one modal dialog, run through the download session: the dialog opens
// the port, starts the session, drives its tick from its own 500 ms timer and shows the
// engine's status lines, Continue button and progress bars. The main window's outcome
// handler reports how the download ended.
//
// Threads: the dialog procedure and the outcome handler run on the user-interface thread.
// The front-end outputs run on either thread; from the reader thread they are synchronous
// window messages, which the user-interface thread handles in whatever message loop it is in
// (the dialog's, or a message box's).
#include <windows.h>
#include <commctrl.h>

#include <atomic>
#include <cstdio>

#include "resources/resource.h"
#include "session/session.h"
#include "shell/app.h"
#include "settings/path_record.h"
#include "settings/settings.h"
#include "transport/port_open.h"

// One download's state, owned by runDownload for as long as the download lasts: the front
// end's context, the dialog's (through DWLP_USER) and the outcome message's (its wParam).
struct DownloadRun {
    HWND mainWindow = nullptr;
    DownloadSession* session = nullptr;
    // Read by the front-end outputs on the reader thread: null once the dialog has closed, so
    // that a late output goes nowhere.
    std::atomic<HWND> dialog{nullptr};
    std::atomic<HWND> upperBar{nullptr};
    std::atomic<HWND> lowerBar{nullptr};
    int finished = 0;     // an outcome has arrived: Abort no longer asks
    bool closed = true;   // the reader has been stopped and the dialog ended
    int32_t gang = 0;     // the gang flag given to the engine
};

namespace {

DownloadRun& runOf(void* context) { return *static_cast<DownloadRun*>(context); }

void showLineText(void* run, int32_t control, const char* text)
{
    if (HWND dialog = runOf(run).dialog.load())
        SetDlgItemTextA(dialog, control, text);
}

void showFineProgress(void* run, int32_t position)
{
    if (HWND bar = runOf(run).upperBar.load())
        SendMessageA(bar, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

void showOverallProgress(void* run, int32_t position)
{
    if (HWND bar = runOf(run).lowerBar.load())
        SendMessageA(bar, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

void showContinue(void* run, int32_t enable)
{
    if (HWND dialog = runOf(run).dialog.load())
        EnableWindow(GetDlgItem(dialog, IDC_CONTINUE), enable != 0);
}

void sendOutcome(void* run, int32_t result)
{
    SendMessageA(runOf(run).mainWindow, kOutcomeMessage, reinterpret_cast<WPARAM>(run),
                 static_cast<LPARAM>(result));
}

// Lets the line go (the reader thread then closes the port) and ends the dialog, once per
// download however many closings race: an outcome and one or more Abort confirmations. A
// confirmation answered late belongs to its own run, which is closed by then.
void closeDownload(DownloadRun& run)
{
    HWND dialog = run.dialog.load();
    if (run.closed || !dialog)
        return;
    run.closed = true;
    run.session->abort();
    startProbeTimer(run.mainWindow);
    run.dialog = nullptr;
    run.upperBar = nullptr;
    run.lowerBar = nullptr;
    EndDialog(dialog, 1);
}

HWND createProgressBar(HWND dialog, const RECT& client, int top, int height)
{
    const auto instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(dialog, GWLP_HINSTANCE));
    HWND bar = CreateWindowExA(0, PROGRESS_CLASSA, nullptr, WS_CHILD | WS_VISIBLE, client.left,
                               top, client.right, height, dialog, nullptr, instance, nullptr);
    SendMessageA(bar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    SendMessageA(bar, PBM_SETSTEP, 1, 0);
    SendMessageA(bar, PBM_SETPOS, 0, 0);
    return bar;
}

INT_PTR onDownloadInit(HWND dialog, DownloadRun& run)
{
    SetWindowLongPtrA(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(&run));
    SerialPort* port = openPort(settings.portDigit, run.mainWindow, 1);
    run.finished = 0;
    run.closed = false;
    InitCommonControls();
    RECT client;
    GetClientRect(dialog, &client);
    const int h = GetSystemMetrics(SM_CYVSCROLL);
    run.upperBar = createProgressBar(dialog, client, client.bottom - 2 * h, h / 2);
    run.lowerBar = createProgressBar(dialog, client, client.bottom - h, h / 2);
    run.dialog = dialog;
    run.gang = settings.gangMode;
    const DownloadChoice choice{settings.speed, settings.downloadMode, run.gang != 0};
    if (!run.session->start({platformPortOps(), port}, choice))
        MessageBoxA(nullptr, "Error creating READ thread", "", MB_OK);
    SetTimer(dialog, kDownloadTickTimer, kTimerIntervalMs, nullptr);
    SetWindowTextA(dialog, appOf(run.mainWindow).releaseRecord.fullPath);
    return TRUE;
}

// The confirmation's own message loop keeps the download running; by the time it is
// answered the download may have ended, or a newer one begun.
INT_PTR onAbort(DownloadRun& run)
{
    if (run.finished == 0) {
        const int answer = MessageBoxA(
            nullptr,
            "Select 'Cancel' to continue the download\nOr 'OK' to confirm download abort.\n"
            "If you confirm download abort after an erase,\nrun download again before powering "
            "off the mobile,\nor its download capability may be lost",
            "Confirm abort download?", MB_OKCANCEL | MB_ICONWARNING | MB_DEFBUTTON2);
        if (answer != IDOK)
            return TRUE;
    }
    closeDownload(run);
    return TRUE;
}

INT_PTR onContinue(HWND dialog, DownloadRun& run)
{
    EnableWindow(GetDlgItem(dialog, IDC_CONTINUE), FALSE);
    run.session->pressContinue();
    return TRUE;
}

// The run comes with WM_INITDIALOG and is kept in DWLP_USER; messages before it have none.
INT_PTR CALLBACK downloadDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG)
        return onDownloadInit(dialog, *reinterpret_cast<DownloadRun*>(lParam));
    DownloadRun* run = reinterpret_cast<DownloadRun*>(GetWindowLongPtrA(dialog, DWLP_USER));
    if (!run)
        return FALSE;
    switch (message) {
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK: case IDCANCEL: return onAbort(*run);
        case IDC_CONTINUE: return onContinue(dialog, *run);
        default: return FALSE;
        }
    case WM_TIMER:
        run->session->tick();
        return TRUE;
    default:
        return FALSE;
    }
}

DWORD WINAPI endSessionThread(void* session)
{
    static_cast<DownloadSession*>(session)->end();
    return 0;
}

// Ends the session (the reader thread ends, the port and the release file close) while still
// handling the messages the reader may be sending to this thread (a last output that was
// under way when the dialog closed).
void endSession(DownloadSession& session)
{
    HANDLE joiner = CreateThread(nullptr, 0, endSessionThread, &session, 0, nullptr);
    if (!joiner) {
        session.end();
        return;
    }
    while (MsgWaitForMultipleObjects(1, &joiner, FALSE, INFINITE, QS_SENDMESSAGE) ==
           WAIT_OBJECT_0 + 1) {
        MSG pending;
        PeekMessageA(&pending, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
    CloseHandle(joiner);
}

void showCompletion(const DownloadRun& run)
{
    const uint16_t checksum = run.session->imageChecksum();
    char text[384];
    if (run.gang != 0)
        std::snprintf(text, sizeof text,
                      "Download to the mobile on CH1 completed successfully.\nChecksum %04X\n"
                      "Please check that all other mobiles have powered down.\nIf any have not, "
                      "re-run download without power-cycling\nor disconnecting them.",
                      checksum);
    else
        std::snprintf(text, sizeof text, "Download completed successfully.\nChecksum %04X\n",
                      checksum);
    MessageBoxA(run.mainWindow, text, "Download status", MB_ICONINFORMATION);
}

}  // namespace

void runDownload(HWND owner, const char* releasePath)
{
    DownloadRun run;
    run.mainWindow = appOf(owner).mainWindow;
    const FrontEnd frontEnd = {&run, showLineText, showFineProgress, showOverallProgress,
                               showContinue, sendOutcome, nullptr};
    DownloadSession session(&frontEnd);
    run.session = &session;
    // When the file cannot be opened the session has posted result 1: the outcome handler
    // has shown its box, and no dialog opens.
    if (!session.openRelease(releasePath))
        return;
    stopProbeTimer(owner);
    DialogBoxParamA(appOf(owner).instance, MAKEINTRESOURCEA(IDD_DOWNLOAD), owner,
                    downloadDialogProc, reinterpret_cast<LPARAM>(&run));
    // The engine may still be inside a handler until the reader has ended: the release file
    // is closed only afterwards, never under a running handler.
    endSession(session);
}

LRESULT downloadOutcome(DownloadRun& run, int32_t result)
{
    run.finished = 1;
    if (result == kResultCompleted) {
        showCompletion(run);
        closeDownload(run);
    } else if (result == kResultFileNotOpened) {
        MessageBoxA(run.mainWindow,
                    "No download file is specified,\nor the specified file could not be found.\n\n"
                    "Use the menu 'File' - 'Open and Download' option\nto specify a download file",
                    "No download file specified / file not found", MB_ICONERROR);
    }
    return 0;
}
