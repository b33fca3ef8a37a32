// The Wine test driver's hands on the Open and Save dialogs of another process: read the file
// name, the folder and the file types, pick a type, type a name and press OK. Works on the
// explorer-style dialog and on the older one that a 76-byte OPENFILENAME gets.
#ifndef TARVOLO_TESTS_SHELL_WINE_FILE_DIALOG_KIT_H
#define TARVOLO_TESTS_SHELL_WINE_FILE_DIALOG_KIT_H

#include <windows.h>

#include <string>
#include <vector>

// A combo box's strings and its selection (-1: none). The dialogs keep Unicode strings, which
// only the wide messages bring across processes unharmed.
std::vector<std::string> comboItems(HWND combo);
int comboSelection(HWND combo);
// Selects the entry with this text (as a click would not: no notification); false if none.
bool selectComboText(HWND combo, const std::string& text);

// The file name field's text.
std::string fileDialogName(HWND dialog);
// The folder the dialog shows, rebuilt from its "Look in" list: "Z:\dir\sub" (long names).
std::string fileDialogFolder(HWND dialog);
// The file type list (its descriptions) and the selected type, counting from 1.
std::vector<std::string> fileDialogTypes(HWND dialog);
int fileDialogTypeIndex(HWND dialog);
// Picks file type `index` (from 1) as a click in the list would.
void selectFileDialogType(HWND dialog, int index);
// Types `name` into the file name field and presses the OK button.
void chooseInFileDialog(HWND dialog, const std::string& name);

#endif
