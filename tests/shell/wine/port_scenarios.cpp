// Port, Settings as an operator meets it: the platform's port dialog for COM1 showing the
// download speed, only the speed kept from it (and only an allowed one), the port held while
// the dialog is up and closed afterwards with none of the dialog's other choices applied; and
// for a port that cannot be opened, the error box.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "resources/resource.h"
#include "tests/shell/wine/file_dialog_kit.h"
#include "tests/shell/wine/scenarios.h"

namespace {

// The controls of Wine's port dialog (serialui).
constexpr int kBaudList = 1026;
constexpr int kParityList = 1027;
constexpr int kStopBitsList = 1028;
constexpr int kFlowList = 1029;
constexpr int kDataBitsList = 1030;

HWND openPortDialog(const App& app, const std::string& port)
{
    command(app.window, IDM_PORT_SETTINGS);
    HWND dialog = findWindow(app, "#32770", "Settings for " + port, 5000);
    check(dialog != nullptr, "Port, Settings opens the port dialog for " + port);
    return dialog;
}

// Counts the descriptors open on COM1's pseudo-terminal (pty_holders.sh). Under Wine a second
// open of a held port is not refused, so this is how the test sees the program holding it.
struct PtyHolders {
    std::string script, link, outUnix, outWindows;
    int count() const
    {
        DeleteFileA(outWindows.c_str());
        runUnix("/bin/sh " + script + " " + link + " " + outUnix);
        for (int waited = 0; waited < 3000 && !fileExists(outWindows); waited += 20)
            sleepMs(20);
        const std::string text = readFile(outWindows);
        return text.empty() ? -1 : std::atoi(text.c_str());
    }
    // The count without the program holding the port: the least of a few, as the probe timer
    // opens the port for a moment every 500 ms.
    int baseline() const
    {
        int least = count();
        for (int i = 0; i < 2; ++i) {
            sleepMs(100);
            least = std::min(least, count());
        }
        return least;
    }
    // Waits up to 2 s for the count to come back to `baseline`.
    bool backTo(int baseline) const
    {
        for (int i = 0; i < 10; ++i) {
            if (count() == baseline)
                return true;
            sleepMs(200);
        }
        return false;
    }
};

std::string describe(const DCB& dcb)
{
    char text[96];
    std::snprintf(text, sizeof text, "%lu baud, %u data bits, parity %u, stop %u, cts %u",
                  static_cast<unsigned long>(dcb.BaudRate), dcb.ByteSize, dcb.Parity, dcb.StopBits,
                  static_cast<unsigned>(dcb.fOutxCtsFlow));
    return text;
}

// The line settings the port keeps after the program closed it.
std::string lineSettings(const char* port)
{
    HANDLE handle = CreateFileA(port, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return "not opened";
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    const bool read = GetCommState(handle, &dcb);
    CloseHandle(handle);
    return read ? describe(dcb) : "no state";
}

// The platform's stored defaults for the port.
std::string storedDefaults(const char* port)
{
    COMMCONFIG config{};
    config.dwSize = sizeof config;
    DWORD size = sizeof config;
    return GetDefaultCommConfigA(port, &config, &size) ? describe(config.dcb) : "none";
}

// Picks these entries in the dialog's lists and presses `button`.
void answerPortDialog(HWND dialog, const std::vector<std::pair<int, std::string>>& choices, UINT button)
{
    for (const auto& [list, text] : choices)
        check(selectComboText(GetDlgItem(dialog, list), text), "the port dialog offers " + text);
    command(dialog, button);
    check(waitGone(dialog, 5000), "the port dialog closes");
}

void checkSpeedShown(HWND dialog, const std::string& speed, const std::string& why)
{
    if (dialog)
        checkEqual(itemText(dialog, kBaudList), speed, "the port dialog shows " + why);
}

// The speed chosen three times: one not allowed (reset, with the box), one cancelled, one kept
// together with other line settings that must not reach the port.
void chooseSpeeds(const App& app, const PtyHolders& holders, int baseline)
{
    HWND dialog = openPortDialog(app, "COM1");
    if (!dialog)
        return;
    checkSpeedShown(dialog, "57600", "the download speed");
    check(holders.count() > baseline, "COM1 is held open while the dialog is up");
    answerPortDialog(dialog, {{kBaudList, "56000"}}, IDOK);
    answerBox(expectBox(app, "Port setting restriction",
                        "The port speed may only be set to 19200, 38400 or 57600 115200 baud\n"
                        "The speed has been reset to 115200."),
              IDOK, "OK closes the restriction box");

    dialog = openPortDialog(app, "COM1");
    checkSpeedShown(dialog, "115200", "the speed reset to 115200");
    if (dialog)
        answerPortDialog(dialog, {{kBaudList, "19200"}}, IDCANCEL);

    dialog = openPortDialog(app, "COM1");
    checkSpeedShown(dialog, "115200", "the speed kept by Cancel");
    if (dialog)
        answerPortDialog(dialog, {{kBaudList, "38400"}, {kParityList, "Even"}, {kDataBitsList, "7"},
                                  {kStopBitsList, "2"}, {kFlowList, "Hardware (RTS/CTS)"}}, IDOK);
    check(onlyMainWindow(app, 500), "an allowed speed is taken without a box");
}

}  // namespace

// COM1 is a pseudo-terminal; COM3 cannot be opened. args: pty_holders.sh, COM1's link, the
// file it writes its count to (as a Unix and as a Windows path).
void portsScenario(const Context& c)
{
    const PtyHolders holders{c.args.at(0), c.args.at(1), c.args.at(2), c.args.at(3)};
    Settings s = settingsWith("", "");
    s.speed = 57600;
    App app;
    if (!startWith(c, s, &app))
        return;
    const std::string defaults = storedDefaults("COM1");
    const int baseline = holders.baseline();
    check(baseline >= 0, "descriptors on COM1's pseudo-terminal counted");
    chooseSpeeds(app, holders, baseline);
    check(holders.backTo(baseline), "the port is closed once the dialog has closed");
    checkEqual(lineSettings("COM1"), "19200 baud, 8 data bits, parity 0, stop 0, cts 0",
               "the port keeps the program's line settings, none of the dialog's");
    checkEqual(storedDefaults("COM1"), defaults, "the platform's stored port defaults are unchanged");

    command(app.window, IDM_COM3);
    command(app.window, IDM_PORT_SETTINGS);
    answerBox(expectBox(app, "Com port error", "Failed to open com port\n"), IDOK,
              "OK closes the port error box");
    // The platform may still show its dialog for the port name.
    if (HWND dialog = findWindow(app, "#32770", "Settings for COM3", 1000))
        answerPortDialog(dialog, {}, IDCANCEL);
    command(app.window, IDM_COM1);
    HWND dialog = openPortDialog(app, "COM1");
    checkSpeedShown(dialog, "38400", "the speed kept from the dialog");
    if (dialog)
        answerPortDialog(dialog, {}, IDCANCEL);
    closeApp(app);
    const Settings saved = readSettings(c);
    check(saved.speed == 38400, "saved speed 38400 (got " + std::to_string(saved.speed) + ")");
    check(saved.portDigit == '1', "saved port COM1");
}
