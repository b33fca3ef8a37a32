// Waiting for port changes on Windows (see port_watch.h): a change notification on
// HKLM\HARDWARE\DEVICEMAP\SERIALCOMM, where serial drivers enter each COM port they create
// and remove it when the device goes. Armed again for every wait.
#include <windows.h>

#include "transport/port_watch.h"

struct PortWatch::Watched {
    HKEY key = nullptr;
    HANDLE changed = nullptr;
};

PortWatch::PortWatch(const std::string&) : watched_(new Watched)
{
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_NOTIFY, &watched_->key) !=
        ERROR_SUCCESS)
        watched_->key = nullptr;
    watched_->changed = CreateEventA(nullptr, FALSE, FALSE, nullptr);
}

PortWatch::~PortWatch()
{
    if (watched_->key)
        RegCloseKey(watched_->key);
    if (watched_->changed)
        CloseHandle(watched_->changed);
}

void PortWatch::wait(int timeoutMs)
{
    const DWORD timeout = static_cast<DWORD>(timeoutMs);
    if (!watched_->key || !watched_->changed ||
        RegNotifyChangeKeyValue(watched_->key, FALSE, REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET,
                                watched_->changed, TRUE) != ERROR_SUCCESS) {
        Sleep(timeout);
        return;
    }
    WaitForSingleObject(watched_->changed, timeout);
}
