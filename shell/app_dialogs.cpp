// The small modal dialogs: the four help texts, About, the product identifier, and the
// message box that explains a failed file dialog. Each is a dialog procedure plus the
// function that opens it.
#include <windows.h>

#include <cstdio>

#include "resources/resource.h"
#include "shell/app.h"
#include "shell/dialog_errors.h"
#include "settings/settings.h"
#include "tarvolo_version.h"

namespace {

constexpr char kProgramVersion[] = TARVOLO_VERSION;
constexpr char kProtocolId[] = "1.0";

// Serves the help dialogs and About; only About has the version line.
INT_PTR CALLBACK helpDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG: {
        char line[80];
        std::snprintf(line, sizeof line, "Program version: %s, Protocol ID: %s", kProgramVersion,
                      kProtocolId);
        SetDlgItemTextA(dialog, IDC_VERSION_LINE, line);
        return TRUE;
    }
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            EndDialog(dialog, 1);
            return TRUE;
        }
        return FALSE;
    default:
        return FALSE;
    }
}

INT_PTR CALLBACK productIdDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        SetDlgItemTextA(dialog, IDC_PRODUCT_ID, settings.productId);
        SetFocus(GetDlgItem(dialog, IDC_PRODUCT_ID));
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK) {
            // Taken as typed; the buffer holds four characters and the zero.
            settings.productId[0] = 0;
            GetDlgItemTextA(dialog, IDC_PRODUCT_ID, settings.productId, sizeof settings.productId);
            EndDialog(dialog, 1);
            return TRUE;
        }
        if (LOWORD(wParam) == IDCANCEL) {
            EndDialog(dialog, 1);
            return TRUE;
        }
        return FALSE;
    default:
        return FALSE;
    }
}

void runDialog(HWND owner, int dialogId, DLGPROC procedure)
{
    DialogBoxParamA(appOf(owner).instance, MAKEINTRESOURCEA(dialogId), owner, procedure, 0);
}

}  // namespace

void showHelpDialog(HWND owner, int dialogId)
{
    runDialog(owner, dialogId, helpDialogProc);
}

void showAboutDialog(HWND owner)
{
    runDialog(owner, IDD_ABOUT, helpDialogProc);
}

void showProductIdDialog(HWND owner)
{
    runDialog(owner, IDD_PRODUCT_ID, productIdDialogProc);
}

void reportDialogError(DWORD code, HWND owner)
{
    const int stringId = dialogErrorStringId(code);
    if (stringId == 0)
        return;  // cancelled
    char text[260] = "";
    LoadStringA(appOf(owner).instance, static_cast<UINT>(stringId), text, sizeof text);
    MessageBoxA(owner, text, nullptr, MB_OK);
}
