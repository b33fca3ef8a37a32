// Test-only DLL that the driver hooks into Tarvolo's user-interface thread. Menus cannot be
// read from another process under Wine, so on the driver's registered message this hook reads
// the main window's menu in-process and writes it to menu-dump.txt beside the DLL:
//   level|id|states|text     (level 0: menu bar, 1: popup item; states C checked, G grayed)
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

HMODULE self = nullptr;

std::string besideDll(const char* name)
{
    char path[MAX_PATH];
    GetModuleFileNameA(self, path, MAX_PATH);
    std::string text = path;
    return text.substr(0, text.find_last_of('\\') + 1) + name;
}

void dumpItems(HMENU menu, int level, FILE* out)
{
    const int count = GetMenuItemCount(menu);
    for (int i = 0; i < count; ++i) {
        char text[128] = "";
        MENUITEMINFOA info{};
        info.cbSize = sizeof info;
        info.fMask = MIIM_ID | MIIM_STATE | MIIM_SUBMENU | MIIM_FTYPE | MIIM_STRING;
        info.dwTypeData = text;
        info.cch = sizeof text;
        GetMenuItemInfoA(menu, static_cast<UINT>(i), TRUE, &info);
        if (info.fType & MFT_SEPARATOR) {
            std::fprintf(out, "%d|sep\n", level);
            continue;
        }
        std::string states;
        if (info.fState & MFS_CHECKED)
            states += 'C';
        if (info.fState & MFS_GRAYED)
            states += 'G';
        std::fprintf(out, "%d|%d|%s|%s\n", level, info.hSubMenu ? -1 : static_cast<int>(info.wID),
                     states.c_str(), text);
        if (info.hSubMenu)
            dumpItems(info.hSubMenu, level + 1, out);
    }
}

void dumpMenu(HWND window)
{
    const std::string path = besideDll("menu-dump.txt");
    const std::string partial = path + ".part";
    FILE* out = std::fopen(partial.c_str(), "w");
    if (!out)
        return;
    dumpItems(GetMenu(window), 0, out);
    std::fclose(out);
    MoveFileExA(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

}  // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK menuHookProc(int code, WPARAM wParam, LPARAM lParam)
{
    static const UINT dumpMessage = RegisterWindowMessageA("TarvoloTestMenuDump");
    if (code == HC_ACTION && wParam == PM_REMOVE) {
        const MSG* message = reinterpret_cast<const MSG*>(lParam);
        if (message->message == dumpMessage)
            dumpMenu(message->hwnd);
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
        self = instance;
    return TRUE;
}
