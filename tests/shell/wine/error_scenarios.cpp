// The error boxes an operator can meet, each with its caption and text, and the program
// carrying on afterwards: a release file that is not there, a file of another extension, a
// converted file's path too long for the program, a port that cannot be opened for a
// download, and a file name that cannot be passed to the conversion.
#include <string>

#include "resources/resource.h"
#include "tests/shell/wine/file_dialog_kit.h"
#include "tests/shell/wine/scenarios.h"

namespace {

const char kOpenTitle[] = "Select a download file";
const char kSaveTitle[] = "Select a path and filename for the converted file";

// Opens the Open dialog and chooses `file` of type `typeIndex`.
void openFile(const App& app, const std::string& file, int typeIndex)
{
    command(app.window, IDM_OPEN_AND_DOWNLOAD);
    HWND dialog = findWindow(app, "#32770", kOpenTitle, 10000);
    check(dialog != nullptr, "the Open dialog opens");
    if (!dialog)
        return;
    selectFileDialogType(dialog, typeIndex);
    chooseInFileDialog(dialog, file);
    check(waitGone(dialog, 5000), "the Open dialog takes " + nameOf(file));
}

void missingReleaseFile(const App& app, const std::string& gone)
{
    command(app.window, IDM_GO);
    answerBox(expectBox(app, "No download file specified / file not found",
                        "No download file is specified,\nor the specified file could not be found.\n\n"
                        "Use the menu 'File' - 'Open and Download' option\nto specify a download file"),
              IDOK, "OK closes the missing file box");
    check(onlyMainWindow(app, 500), "no download dialog opens for " + nameOf(gone));
}

void unrecognisedExtension(const App& app, const std::string& notes)
{
    openFile(app, notes, 7);
    answerBox(expectBox(app, "Cannot convert this file",
                        "The file extension is not recognised\nOnly REL, BIN, MOT, SRE, ABS and LZH\n"
                        "files may be specified.\nPlease specify another file or copy/rename\n"
                        "your file appropriately.\n"),
              IDOK, "OK closes the extension box");
    check(onlyMainWindow(app, 500), "nothing is converted or downloaded");
}

// The Save dialog adds ".rel" to a name that then no longer fits the program's path record.
void pathTooLong(const App& app, const std::string& build, const std::string& longName,
                 const std::string& shot)
{
    openFile(app, build, 2);
    HWND save = findWindow(app, "#32770", kSaveTitle, 10000);
    check(save != nullptr, "the Save dialog opens");
    if (!save)
        return;
    chooseInFileDialog(save, longName);
    HWND box = expectBox(app, "Path too long",
                         "The path of the chosen file is too long.\nPlease choose a file with a shorter path.");
    sleepMs(500);  // let the box paint
    screenshot(shot);
    answerBox(box, IDOK, "OK closes the path box");
    check(onlyMainWindow(app, 500), "nothing is converted or downloaded");
    check(!fileExists(longName + ".rel"), "no release file written at the long path");
}

// Go! on a port that cannot be opened: the port box, then the dialog all the same, which
// waits until the operator aborts. On COM1 the next Go! opens no box.
void portNotOpened(App& app, const std::string& release)
{
    command(app.window, IDM_COM2);
    command(app.window, IDM_GO);
    answerBox(expectBox(app, "Com port error", "Failed to open com port\n", 20000), IDOK,
              "OK closes the port error box");
    HWND dialog = findWindow(app, "#32770", release, 5000);
    check(dialog != nullptr, "the download dialog opens all the same");
    abortDownload(app, dialog);

    command(app.window, IDM_COM1);
    dialog = goAndFindDialog(app, release);
    check(findWindow(app, "#32770", "Com port error", 1500) == nullptr, "COM1 opens without a box");
    if (dialog)
        check(contains(itemText(dialog, IDC_PHASE_LINE), "Waiting for mobile signal..."),
              "the download waits for the handset");
    abortDownload(app, dialog);
}

void refusedName(const Context& c, const std::string& folder)
{
    const std::string quoted = folder + "\\a\"b.bin", release = folder + "\\q.rel";
    App app;
    if (!startWith(c, settingsWith(release, quoted), &app))
        return;
    command(app.window, IDM_GO);
    answerBox(expectBox(app, "Cannot convert this file",
                        "The file name holds a character that cannot be passed on."),
              IDOK, "OK closes the refusal box");
    check(onlyMainWindow(app, 500), "no download dialog opens");
    check(!fileExists(release), "Tarvolo.BAT did not run: no release file");
    checkStillUsable(app, "the refusal");
    closeApp(app);
}

}  // namespace

// args: a folder with notes.txt and x.bin, an existing folder's path plus a name without
// extension whose path with ".rel" is too long, the screenshot of an error box.
void errorsScenario(const Context& c)
{
    const std::string folder = c.args.at(0);
    const std::string gone = folder + "\\gone.rel";
    App app;
    if (!startWith(c, settingsWith(gone, gone), &app))
        return;
    missingReleaseFile(app, gone);
    unrecognisedExtension(app, folder + "\\notes.txt");
    pathTooLong(app, folder + "\\x.bin", c.args.at(1), c.args.at(2));
    // The proposed release file, converted again by each Go!.
    portNotOpened(app, withExtension(shortPath(folder + "\\x.bin"), ".rel"));
    checkStillUsable(app, "the error boxes");
    closeApp(app);
    refusedName(c, folder);
}
