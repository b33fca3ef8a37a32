// The Wine test driver: starts Tarvolo.exe in a working directory and checks what an
// operator would see, scenario by scenario (one per run). Start-up, Go! downloads, Abort and
// the conversion are here; the file dialogs, port settings, error boxes and gang mode have
// files of their own (scenarios.h).
//   shell_wine_driver SCENARIO APP_EXE WORK_DIR HOOK_DLL [ARGS...]
// Prints one line per check; exits 1 when a check failed.
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "resources/resource.h"
#include "settings/settings.h"
#include "tests/shell/wine/driver_kit.h"
#include "tests/shell/wine/scenario_kit.h"
#include "tests/shell/wine/scenarios.h"

namespace {

// The menu after start-up without a settings file, COM1 mapped and COM2 to COM4 not.
const std::vector<std::string> kStartMenu = {
    "0|-1||&File", "1|106||&Open and download", "1|sep", "1|107||E&xit",
    "0|-1||&Port", "1|111|C|COM&1 ", "1|112|G|COM&2 ", "1|113|G|COM&3 ", "1|114|G|COM&4 ",
    "1|sep", "1|110||&Settings",
    "0|-1||&Options", "1|109||&Gang mode", "1|65535|G|&Product ID",
    "1|124|G|&Normal download ", "1|125|C|&Erase and download", "1|126|G|&Patch flash",
    "0|115||&Go!",
    "0|-1||&Help", "1|118||&File help", "1|122||&Port help", "1|120||&Options help",
    "1|121||&Go help", "1|sep", "1|108||&About Tarvolo",
};

// The states column of the item with this id in a dump.
std::string statesOf(const std::vector<std::string>& dump, int id)
{
    const std::string key = "|" + std::to_string(id) + "|";
    for (const std::string& line : dump)
        if (line.find(key) == 1)
            return line.substr(1 + key.size(), line.find('|', 1 + key.size()) - 1 - key.size());
    return "missing";
}

void checkMenu(const App& app, const Context& c)
{
    const std::vector<std::string> dump = menuDump(app, c.hookDll);
    check(dump.size() == kStartMenu.size(), "menu has " + std::to_string(kStartMenu.size()) +
                                                " entries (got " + std::to_string(dump.size()) + ")");
    for (size_t i = 0; i < kStartMenu.size() && i < dump.size(); ++i)
        checkEqual(dump[i], kStartMenu[i], "menu entry " + std::to_string(i));
}

void checkStates(const App& app, const Context& c, int id, const std::string& expected,
                 const std::string& what)
{
    checkEqual(statesOf(menuDump(app, c.hookDll), id), expected, what);
}

// Opens a dialog by menu command, checks its caption exists, and closes it with `closeId`.
HWND openDialog(const App& app, UINT commandId, const std::string& caption)
{
    command(app.window, commandId);
    HWND dialog = findWindow(app, "#32770", caption, 5000);
    check(dialog != nullptr, "command " + std::to_string(commandId) + " opens \"" + caption + "\"");
    return dialog;
}

void closeDialog(HWND dialog, UINT id, const std::string& what)
{
    if (!dialog)
        return;
    command(dialog, id);
    check(waitGone(dialog, 5000), what);
}

void checkHelpAndAbout(const App& app)
{
    const struct { UINT id; const char* caption; } help[] = {
        {IDM_FILE_HELP, "File help"}, {IDM_OPTIONS_HELP, "Options help"},
        {IDM_GO_HELP, "Go! help"}, {IDM_PORT_HELP, "Port help"}};
    for (const auto& h : help)
        closeDialog(openDialog(app, h.id, h.caption), IDCANCEL, std::string(h.caption) + " closes");
    HWND about = openDialog(app, IDM_ABOUT, "About Tarvolo");
    if (about)
        checkEqual(itemText(about, IDC_VERSION_LINE), "Program version: 1.6, Protocol ID: 1.0",
                   "About's version line");
    closeDialog(about, IDOK, "About closes with OK");
}

void checkProductId(const App& app)
{
    HWND dialog = openDialog(app, IDM_PRODUCT_ID, "Product Identification");
    if (!dialog)
        return;
    checkEqual(itemText(dialog, IDC_PRODUCT_ID), "KM52", "product ID at start");
    setItemText(dialog, IDC_PRODUCT_ID, "zz99");
    closeDialog(dialog, IDCANCEL, "Cancel closes the Product ID dialog");
    dialog = openDialog(app, IDM_PRODUCT_ID, "Product Identification");
    if (!dialog)
        return;
    checkEqual(itemText(dialog, IDC_PRODUCT_ID), "KM52", "Cancel keeps the product ID");
    setItemText(dialog, IDC_PRODUCT_ID, "km21X");
    closeDialog(dialog, IDOK, "OK closes the Product ID dialog");
}

uint32_t word(const std::string& file, size_t at)
{
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = value << 8 | static_cast<uint8_t>(file[at + i]);
    return value;
}

// Start-up without a settings file, the option commands, the dialogs, and the settings
// written when the window is closed.
void startupScenario(const Context& c)
{
    DeleteFileA(c.settingsFile().c_str());
    App app;
    check(startApp(c.exe, c.directory, &app), "main window \"Tarvolo - Handset Flash Loader\" of class WinKM52WClass");
    if (!app.window)
        return;
    checkMenu(app, c);

    command(app.window, IDM_GANG_MODE);
    checkStates(app, c, IDM_GANG_MODE, "C", "gang mode checked after one toggle");
    command(app.window, IDM_GANG_MODE);
    checkStates(app, c, IDM_GANG_MODE, "", "gang mode unchecked after two");
    command(app.window, IDM_GANG_MODE);

    command(app.window, IDM_PATCH_FLASH);
    checkStates(app, c, IDM_PATCH_FLASH, "CG", "patch flash checked (and still grayed)");
    checkStates(app, c, IDM_ERASE_AND_DOWNLOAD, "", "erase and download unchecked");
    command(app.window, IDM_NORMAL_DOWNLOAD);
    checkStates(app, c, IDM_NORMAL_DOWNLOAD, "CG", "normal download checked");
    checkStates(app, c, IDM_PATCH_FLASH, "G", "patch flash unchecked");

    command(app.window, IDM_COM3);
    checkStates(app, c, IDM_COM3, "CG", "COM3 selected though it cannot be opened");
    checkStates(app, c, IDM_COM1, "", "COM1 no longer checked");

    command(app.window, 116);  // not in the menu
    checkHelpAndAbout(app);
    checkProductId(app);

    PostMessageA(app.window, WM_CLOSE, 0, 0);
    check(waitForExit(app, 10000), "closing the window ends the program");
    const std::string file = readFile(c.settingsFile());
    check(file.size() == 542, "closing writes a 542-byte Tarvolo.cfg (got " + std::to_string(file.size()) + ")");
    if (file.size() == 542) {
        check(word(file, 0) == 1, "saved gang mode 1");
        check(word(file, 4) == 115200, "saved speed 115200");
        check(file[8] == '3', "byte 8 holds the port digit '3'");
        check(word(file, 9) == 1, "saved filter index 1");
        checkEqual(file.substr(533, 5), std::string("km21\0", 5), "saved product ID (4 characters as typed)");
        check(word(file, 538) == 1, "saved download mode 1");
    }
    check(!fileExists(c.settingsFile() + ".new"), "no partial settings file left");
    killApp(app);
}

// E&xit leaves without saving.
void exitScenario(const Context& c)
{
    DeleteFileA(c.settingsFile().c_str());
    App app;
    check(startApp(c.exe, c.directory, &app), "main window appears");
    command(app.window, IDM_GANG_MODE);
    command(app.window, IDM_EXIT);
    check(waitForExit(app, 10000), "E&xit ends the program");
    check(!fileExists(c.settingsFile()), "E&xit writes no settings file");
    killApp(app);
}

// A whole download: status texts, both bars moving, the outcome box with the checksum, the
// dialog closing. args: release path, screenshot of the dialog, screenshot of the box.
void downloadScenario(const Context& c)
{
    App app;
    const std::string release = c.args.at(0);
    HWND dialog = startGo(c, &app, release);
    if (!dialog) {
        killApp(app);
        return;
    }
    std::string phaseTexts, adviceTexts;
    int upperMax = 0, lowerMax = 0;
    bool shot = false;
    HWND box = nullptr;
    for (int waited = 0; waited < 90000 && !box; waited += 20) {
        const std::string phase = itemText(dialog, IDC_PHASE_LINE);
        const std::string advice = itemText(dialog, IDC_ADVICE_LINE);
        if (!contains(phaseTexts, phase))
            phaseTexts += phase + "|";
        if (!contains(adviceTexts, advice))
            adviceTexts += advice + "|";
        const std::vector<int> bars = progressPositions(dialog);
        if (bars.size() == 2) {
            upperMax = std::max(upperMax, bars[0]);
            lowerMax = std::max(lowerMax, bars[1]);
        }
        if (!shot && lowerMax >= 30) {
            screenshot(c.args.at(1));
            shot = true;
        }
        box = findWindow(app, "#32770", "Download status", 0);
        if (!box)
            sleepMs(20);
    }
    check(contains(phaseTexts, "Writing block # "), "status shows \"Writing block # ...\"");
    check(upperMax > 0, "upper progress bar moved (max " + std::to_string(upperMax) + ")");
    check(lowerMax > 0, "lower progress bar moved (max " + std::to_string(lowerMax) + ")");
    check(box != nullptr, "\"Download status\" box appears");
    if (!box)
        std::printf("last status: [%s] [%s]\n", itemText(dialog, IDC_PHASE_LINE).c_str(),
                    itemText(dialog, IDC_ADVICE_LINE).c_str());
    if (box) {
        const std::string text = messageText(box);
        const std::string head = "Download completed successfully.\nChecksum ";
        bool hex = text.size() == head.size() + 5 && text.back() == '\n';
        for (size_t i = head.size(); hex && i < head.size() + 4; ++i)
            hex = std::isxdigit(static_cast<unsigned char>(text[i])) && !std::islower(static_cast<unsigned char>(text[i]));
        check(text.rfind(head, 0) == 0 && hex, "box shows the completion text and a 4-digit checksum: \"" + text + "\"");
        std::printf("checksum %s\n", text.substr(head.size(), 4).c_str());
        sleepMs(700);  // let the box paint
        screenshot(c.args.at(2));
        command(box, IDOK);
        check(waitGone(dialog, 10000), "the download dialog closes after the box");
    }
    closeApp(app);
}

// The handset refuses the release file's product identifier: the dialog stays open with the
// engine's texts, and Abort closes it without asking.
void refusedScenario(const Context& c)
{
    App app;
    HWND dialog = startGo(c, &app, c.args.at(0));
    if (!dialog) {
        killApp(app);
        return;
    }
    std::string texts;
    for (int waited = 0; waited < 20000 && !contains(texts, "Product ID mismatch"); waited += 50) {
        texts = itemText(dialog, IDC_PHASE_LINE) + itemText(dialog, IDC_ADVICE_LINE);
        sleepMs(50);
    }
    check(contains(texts, "Aborted - Product ID mismatch\r\nMobile's ID: KM99\r\nFile's   ID: KM52"),
          "status shows the product ID mismatch: \"" + texts + "\"");
    sleepMs(1500);
    check(IsWindow(dialog) != 0, "the dialog stays open after the refusal");
    command(dialog, IDOK);
    check(waitGone(dialog, 5000), "Abort closes the dialog");
    check(findWindow(app, "#32770", "Confirm abort download?", 500) == nullptr, "without asking");
    closeApp(app);
}

// Abort while the handset erases: it asks first; Cancel keeps the download running, OK ends it.
void abortScenario(const Context& c)
{
    App app;
    HWND dialog = startGo(c, &app, c.args.at(0));
    if (!dialog) {
        killApp(app);
        return;
    }
    std::string texts;
    for (int waited = 0; waited < 20000 && !contains(texts, "Exchanging parameters"); waited += 50) {
        texts = itemText(dialog, IDC_PHASE_LINE);
        sleepMs(50);
    }
    sleepMs(1000);
    command(dialog, IDOK);
    HWND confirm = findWindow(app, "#32770", "Confirm abort download?", 5000);
    check(confirm != nullptr, "Abort during a download asks \"Confirm abort download?\"");
    if (confirm) {
        check(contains(messageText(confirm), "Select 'Cancel' to continue the download"), "with the abort warning");
        command(confirm, IDCANCEL);
        check(waitGone(confirm, 5000), "Cancel closes the question");
    }
    sleepMs(1500);
    check(IsWindow(dialog) != 0, "after Cancel the download goes on");
    command(dialog, IDCANCEL);  // Escape and the close box act as Abort
    confirm = findWindow(app, "#32770", "Confirm abort download?", 5000);
    check(confirm != nullptr, "Escape asks too");
    if (confirm)
        command(confirm, IDOK);
    check(waitGone(dialog, 5000), "OK ends the download and closes the dialog");
    closeApp(app);
}

// Go! with a binary source whose directory and name hold blanks and command-interpreter
// metacharacters: Tarvolo.BAT converts it into the release file, which the download dialog
// then opens. args: source path, release path.
void convertScenario(const Context& c)
{
    App app;
    HWND dialog = startGo(c, &app, c.args.at(1), c.args.at(0));
    if (dialog) {
        command(dialog, IDOK);
        HWND confirm = findWindow(app, "#32770", "Confirm abort download?", 5000);
        if (confirm)
            command(confirm, IDOK);
        check(waitGone(dialog, 5000), "the download is aborted");
    }
    closeApp(app);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s SCENARIO APP_EXE WORK_DIR HOOK_DLL [ARGS...]\n", argv[0]);
        return 64;
    }
    Context c{argv[2], argv[3], argv[4], std::vector<std::string>(argv + 5, argv + argc)};
    const struct {
        const char* name;
        void (*run)(const Context&);
    } kScenarios[] = {
        {"startup", startupScenario}, {"exit", exitScenario},     {"download", downloadScenario},
        {"refused", refusedScenario}, {"abort", abortScenario},   {"convert", convertScenario},
        {"open", openScenario},       {"save", saveScenario},     {"ports", portsScenario},
        {"errors", errorsScenario},   {"gang", gangScenario},
    };
    for (const auto& scenario : kScenarios)
        if (std::strcmp(argv[1], scenario.name) == 0) {
            scenario.run(c);
            return failures() == 0 ? 0 : 1;
        }
    std::fprintf(stderr, "unknown scenario %s\n", argv[1]);
    return 64;
}
