// The Port menu: selecting a port, probing which of COM1 to COM4 can be opened, and the
// port-settings command through which the operator picks the download speed.
#include <windows.h>

#include <string>

#include "resources/resource.h"
#include "shell/app.h"
#include "settings/settings.h"
#include "transport/line_speed.h"
#include "transport/port_open.h"

namespace {

std::string portNameOf(char digit)
{
    return std::string("COM") + digit;
}

void closePort(SerialPort* port)
{
    if (port)
        platformPortOps()->close(port);
}

// The port's platform configuration with the download speed preset. Falls back to a plain
// record when the platform has no defaults for the port (it is then shown as 8N1).
COMMCONFIG portConfiguration(const std::string& name)
{
    COMMCONFIG config{};
    config.dwSize = sizeof config;
    DWORD size = sizeof config;
    if (!GetDefaultCommConfigA(name.c_str(), &config, &size)) {
        config = COMMCONFIG{};
        config.dwSize = sizeof config;
        config.wVersion = 1;
        config.dcb.DCBlength = sizeof(DCB);
        config.dcb.ByteSize = 8;
    }
    config.dcb.BaudRate = settings.speed;
    return config;
}

}  // namespace

SerialPort* openPort(char digit, HWND window, int keepOpen)
{
    settings.portDigit = digit;
    setComChecks(window, digit);
    std::string error;
    SerialPort* port = openSerialPort(portNameOf(digit).c_str(), &error);
    if (keepOpen == 0) {
        closePort(port);
        return nullptr;
    }
    if (!port)
        MessageBoxA(window, "Failed to open com port\n", "Com port error", MB_ICONERROR);
    return port;
}

void probePorts(HWND window)
{
    HMENU menu = GetMenu(window);
    for (int i = 0; i < 4; ++i) {
        const std::string name = portNameOf(static_cast<char>('1' + i));
        HANDLE handle = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
        const bool opened = handle != INVALID_HANDLE_VALUE;
        if (opened)
            CloseHandle(handle);
        EnableMenuItem(menu, IDM_COM1 + i, MF_BYCOMMAND | (opened ? MF_ENABLED : MF_GRAYED));
    }
}

void portSettingsCommand(HWND window)
{
    stopProbeTimer(window);
    SerialPort* port = openPort(settings.portDigit, window, 1);
    const std::string name = portNameOf(settings.portDigit);
    COMMCONFIG config = portConfiguration(name);
    if (CommConfigDialogA(name.c_str(), window, &config)) {
        if (isAllowedSpeed(config.dcb.BaudRate) != 0) {
            settings.speed = config.dcb.BaudRate;
        } else {
            settings.speed = 115200;
            MessageBoxA(window,
                        "The port speed may only be set to 19200, 38400 or 57600 115200 baud\n"
                        "The speed has been reset to 115200.",
                        "Port setting restriction", MB_ICONINFORMATION);
        }
    }
    // Only the speed is kept: the port was opened with the standard line settings and is
    // closed without applying anything else chosen in the dialog.
    closePort(port);
    startProbeTimer(window);
}
