// The Wine test driver's hands on the Open and Save dialogs (see file_dialog_kit.h).
#include "tests/shell/wine/file_dialog_kit.h"

#include <dlgs.h>

#include <initializer_list>

#include "tests/shell/wine/driver_kit.h"

namespace {

// The explorer-style dialog's name field is a combo box (cmb13); the older dialog's an edit
// (edt1), and there the folder is a static text (stc1) instead of the "Look in" list.
bool explorerStyle(HWND dialog)
{
    return GetDlgItem(dialog, cmb13) != nullptr;
}

std::string narrow(const wchar_t* text)
{
    char out[1024] = "";
    WideCharToMultiByte(CP_ACP, 0, text, -1, out, sizeof out, nullptr, nullptr);
    return out;
}

// "X:" from a "Look in" entry such as " (Z:)" or "System (C:)"; empty for other entries.
std::string driveOf(const std::string& entry)
{
    const size_t colon = entry.find(":)");
    if (colon == std::string::npos || colon < 2 || entry[colon - 2] != '(')
        return "";
    return entry.substr(colon - 1, 2);
}

}  // namespace

std::vector<std::string> comboItems(HWND combo)
{
    std::vector<std::string> items;
    const LRESULT count = SendMessageW(combo, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        wchar_t text[512] = L"";
        if (SendMessageW(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0) < 512)
            SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text));
        items.push_back(narrow(text));
    }
    return items;
}

int comboSelection(HWND combo)
{
    return static_cast<int>(SendMessageW(combo, CB_GETCURSEL, 0, 0));
}

bool selectComboText(HWND combo, const std::string& text)
{
    const std::vector<std::string> items = comboItems(combo);
    for (size_t i = 0; i < items.size(); ++i)
        if (items[i] == text)
            return SendMessageW(combo, CB_SETCURSEL, i, 0) == static_cast<LRESULT>(i);
    return false;
}

std::string fileDialogName(HWND dialog)
{
    return itemText(dialog, explorerStyle(dialog) ? cmb13 : edt1);
}

std::string fileDialogFolder(HWND dialog)
{
    if (!explorerStyle(dialog))
        return itemText(dialog, stc1);
    const std::vector<std::string> entries = comboItems(GetDlgItem(dialog, cmb2));
    const int selected = comboSelection(GetDlgItem(dialog, cmb2));
    std::string folder;
    for (int i = 0; i <= selected && i < static_cast<int>(entries.size()); ++i) {
        const std::string drive = driveOf(entries[i]);
        if (!drive.empty())
            folder = drive;
        else if (!folder.empty())
            folder += "\\" + entries[i];
    }
    return folder.size() == 2 ? folder + "\\" : folder;
}

std::vector<std::string> fileDialogTypes(HWND dialog)
{
    return comboItems(GetDlgItem(dialog, cmb1));
}

int fileDialogTypeIndex(HWND dialog)
{
    return comboSelection(GetDlgItem(dialog, cmb1)) + 1;
}

void selectFileDialogType(HWND dialog, int index)
{
    HWND types = GetDlgItem(dialog, cmb1);
    SendMessageW(types, CB_SETCURSEL, static_cast<WPARAM>(index - 1), 0);
    // A click in the dropped list notifies the change, then the end of the selection.
    for (WORD code : {CBN_SELCHANGE, CBN_SELENDOK})
        SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(cmb1, code), reinterpret_cast<LPARAM>(types));
}

void chooseInFileDialog(HWND dialog, const std::string& name)
{
    setItemText(dialog, explorerStyle(dialog) ? cmb13 : edt1, name);
    command(dialog, IDOK);
}
