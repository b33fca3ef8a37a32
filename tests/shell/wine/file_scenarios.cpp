// File, Open and download as an operator meets it: the Open dialog (its file types, the
// remembered folder and name), Cancel, a release file downloaded as chosen, and a build file
// converted through Tarvolo.BAT into the release file named in the Save dialog.
#include <string>
#include <vector>

#include "resources/resource.h"
#include "tests/shell/wine/file_dialog_kit.h"
#include "tests/shell/wine/scenarios.h"

namespace {

const char kOpenTitle[] = "Select a download file";
const char kSaveTitle[] = "Select a path and filename for the converted file";

const std::vector<std::string> kOpenTypes = {
    "Release (.rel)", "Binary (.bin)", "Motorola S-record (.sre;.mot)", "Absolute (.abs)",
    "Compressed (.lzh)", "Build Files (.rel;.bin;.sre;.mot;.abs;.lzh)", "All Files (*.*)"};

std::string joined(const std::vector<std::string>& items)
{
    std::string text;
    for (const std::string& item : items)
        text += (text.empty() ? "" : "|") + item;
    return text;
}

HWND openDialog(const App& app)
{
    command(app.window, IDM_OPEN_AND_DOWNLOAD);
    HWND dialog = findWindow(app, "#32770", kOpenTitle, 10000);
    check(dialog != nullptr, "File, Open and download opens \"" + std::string(kOpenTitle) + "\"");
    return dialog;
}

// The Open dialog shows the remembered file: its folder, its (short) name, its file type.
void checkOpenDialog(HWND dialog, const std::string& remembered, int typeIndex)
{
    checkEqual(joined(fileDialogTypes(dialog)), joined(kOpenTypes), "the Open dialog's file types");
    check(fileDialogTypeIndex(dialog) == typeIndex,
          "file type " + std::to_string(typeIndex) + " selected (got " +
              std::to_string(fileDialogTypeIndex(dialog)) + ")");
    checkEqual(fileDialogFolder(dialog), longPath(directoryOf(remembered)), "the Open dialog's folder");
    checkEqual(fileDialogName(dialog), nameOf(shortPath(remembered)), "the Open dialog's file name");
}

// The download runs to its end: the completion box, then the dialog closes.
void finishDownload(const App& app, HWND dialog, const std::string& flash, const std::string& release)
{
    if (!dialog)
        return;
    HWND box = awaitOutcomeBox(app, dialog, 60000);
    if (box) {
        check(messageText(box).rfind("Download completed successfully.\nChecksum ", 0) == 0,
              "the completion text: \"" + messageText(box) + "\"");
        command(box, IDOK);
        check(waitGone(dialog, 10000), "the download dialog closes after the box");
    }
    check(flashHolds(flash, release), "the handset's flash holds the image of " + nameOf(release));
}

std::string settingsBytes(const Context& c)
{
    return readFile(c.settingsFile());
}

// Open, Cancel: nothing opens, nothing is shown, and the settings saved at the end of the run
// are those the run started with.
void cancelOpen(const Context& c, const Settings& s)
{
    App app;
    if (!startWith(c, s, &app))
        return;
    const std::string before = settingsBytes(c);
    HWND dialog = openDialog(app);
    if (dialog) {
        checkOpenDialog(dialog, s.sourcePath, s.filterIndex);
        sleepMs(500);  // let the file list paint
        screenshot(c.args.at(3));
        command(dialog, IDCANCEL);
        check(waitGone(dialog, 5000), "Cancel closes the Open dialog");
        check(onlyMainWindow(app, 1000), "after Cancel nothing else opens");
    }
    closeApp(app);
    check(settingsBytes(c) == before, "after Cancel the settings file is saved unchanged");
}

}  // namespace

// args: release file to choose, remembered source file (in the same folder), the handset's
// flash file, the screenshot of the Open dialog.
void openScenario(const Context& c)
{
    const std::string release = c.args.at(0);
    Settings s = settingsWith(c.args.at(1), c.args.at(1));
    s.filterIndex = 6;
    cancelOpen(c, s);

    App app;
    if (!startWith(c, s, &app))
        return;
    HWND dialog = openDialog(app);
    if (dialog) {
        chooseInFileDialog(dialog, release);
        // A release file is downloaded as it is, under its short path.
        const std::string title = withExtension(shortPath(release), ".rel");
        HWND download = findWindow(app, "#32770", title, 10000);
        check(download != nullptr, "the download dialog opens titled \"" + title + "\"");
        finishDownload(app, download, c.args.at(2), release);
    }
    closeApp(app);
    const Settings saved = readSettings(c);
    checkEqual(saved.sourcePath, release, "saved source path");
    checkEqual(saved.releasePath, withExtension(shortPath(release), ".rel"), "saved release path");
    check(saved.filterIndex == 6, "saved file type 6");
}

namespace {

// The Save dialog proposes the source's name with ".rel" in the previous release file's folder.
void checkSaveDialog(HWND dialog, const std::string& source, const std::string& previousRelease)
{
    checkEqual(joined(fileDialogTypes(dialog)), "Release (.rel)", "the Save dialog's file types");
    checkEqual(fileDialogFolder(dialog), longPath(directoryOf(previousRelease)), "the Save dialog's folder");
    checkEqual(fileDialogName(dialog), withExtension(nameOf(shortPath(source)), ".rel"),
               "the Save dialog's proposed name");
}

// Open, a build file of type 2, Save as `target`: converted, then downloaded.
void convertThroughDialogs(const Context& c, App& app, const std::string& source,
                           const std::string& target, const std::string& previousRelease)
{
    HWND dialog = openDialog(app);
    if (!dialog)
        return;
    selectFileDialogType(dialog, 2);
    chooseInFileDialog(dialog, source);
    HWND save = findWindow(app, "#32770", kSaveTitle, 10000);
    check(save != nullptr, "a build file opens \"" + std::string(kSaveTitle) + "\"");
    if (!save)
        return;
    checkSaveDialog(save, source, previousRelease);
    chooseInFileDialog(save, target);
    HWND download = findWindow(app, "#32770", target, 20000);
    check(download != nullptr, "the converted file's download dialog opens titled \"" + target + "\"");
    const std::string converted = readFile(target);
    check(converted.size() > 4 && converted.compare(0, 4, "KM52") == 0 && converted.substr(4) == readFile(source),
          "Tarvolo.BAT wrote the release file: the product ID, then the build file");
    finishDownload(app, download, c.args.at(3), target);
}

}  // namespace

// args: build file, release file to save it as, the previous release file (in another
// folder), the handset's flash file.
void saveScenario(const Context& c)
{
    const std::string source = c.args.at(0), target = c.args.at(1);
    const Settings s = settingsWith(c.args.at(2), c.args.at(2));
    App app;
    if (!startWith(c, s, &app))
        return;
    convertThroughDialogs(c, app, source, target, c.args.at(2));
    closeApp(app);

    const Settings saved = readSettings(c);
    checkEqual(saved.sourcePath, source, "saved source path");
    checkEqual(saved.releasePath, target, "saved release path");
    check(saved.filterIndex == 2, "saved file type 2");
    // The next run's Open dialog starts where this one left off.
    App again;
    if (!startApp(c.exe, c.directory, &again)) {
        check(false, "main window appears again");
        return;
    }
    HWND dialog = openDialog(again);
    if (dialog) {
        checkOpenDialog(dialog, source, 2);
        command(dialog, IDCANCEL);
        waitGone(dialog, 5000);
    }
    closeApp(again);
}
