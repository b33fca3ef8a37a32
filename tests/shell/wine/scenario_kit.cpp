// What the Wine test driver's scenarios share (see scenario_kit.h).
#include "tests/shell/wine/scenario_kit.h"

#include <cstdio>
#include <cstring>

#include "resources/resource.h"

Settings settingsWith(const std::string& release, const std::string& source)
{
    Settings s;
    resetSettings(&s);
    std::snprintf(s.sourcePath, sizeof s.sourcePath, "%s", source.c_str());
    std::snprintf(s.releasePath, sizeof s.releasePath, "%s", release.c_str());
    return s;
}

void writeSettings(const Context& c, const Settings& s)
{
    check(saveSettingsFile(c.settingsFile().c_str(), s), "settings file written for the scenario");
}

Settings readSettings(const Context& c)
{
    Settings s;
    std::memset(&s, 0, sizeof s);
    loadSettingsFile(c.settingsFile().c_str(), &s);
    return s;
}

bool startWith(const Context& c, const Settings& s, App* app)
{
    writeSettings(c, s);
    const bool started = startApp(c.exe, c.directory, app);
    check(started, "main window appears");
    return started;
}

void closeApp(App& app)
{
    PostMessageA(app.window, WM_CLOSE, 0, 0);
    check(waitForExit(app, 10000), "the program ends when its window is closed");
    killApp(app);
}

HWND goAndFindDialog(App& app, const std::string& release)
{
    command(app.window, IDM_GO);
    HWND dialog = findWindow(app, "#32770", release, 10000);
    check(dialog != nullptr, "Go! opens the download dialog titled with the release path");
    return dialog;
}

HWND startGo(const Context& c, App* app, const std::string& release, const std::string& source)
{
    if (!startWith(c, settingsWith(release, source.empty() ? release : source), app))
        return nullptr;
    return goAndFindDialog(*app, release);
}

HWND expectBox(const App& app, const std::string& caption, const std::string& text, DWORD ms)
{
    HWND box = findWindow(app, "#32770", caption, ms);
    check(box != nullptr, "box \"" + caption + "\" appears");
    if (box)
        checkEqual(messageText(box), text, "text of \"" + caption + "\"");
    return box;
}

void answerBox(HWND box, UINT id, const std::string& what)
{
    if (!box)
        return;
    command(box, id);
    check(waitGone(box, 5000), what);
}

bool onlyMainWindow(const App& app, DWORD ms)
{
    sleepMs(ms);
    const std::vector<std::string> windows = topLevelWindows(app);
    for (const std::string& w : windows)
        if (w != "WinKm52WClass|Tarvolo - Handset Flash Loader") {
            std::printf("     window up: %s\n", w.c_str());
            if (HWND box = FindWindowA("#32770", w.substr(w.find('|') + 1).c_str()))
                std::printf("     its text: %s\n", messageText(box).c_str());
            return false;
        }
    return !windows.empty();
}

void checkStillUsable(const App& app, const std::string& after)
{
    command(app.window, IDM_ABOUT);
    HWND about = findWindow(app, "#32770", "About Tarvolo", 5000);
    check(about != nullptr, "About still opens after " + after);
    if (about) {
        command(about, IDOK);
        waitGone(about, 5000);
    }
}

HWND awaitOutcomeBox(const App& app, HWND dialog, DWORD ms)
{
    HWND box = nullptr;
    for (DWORD waited = 0; waited < ms && !box; waited += 50) {
        box = findWindow(app, "#32770", "Download status", 0);
        if (!box)
            sleepMs(50);
    }
    check(box != nullptr, "\"Download status\" box appears");
    if (!box)
        std::printf("     last status: [%s] [%s]\n", itemText(dialog, IDC_PHASE_LINE).c_str(),
                    itemText(dialog, IDC_ADVICE_LINE).c_str());
    return box;
}

void abortDownload(const App& app, HWND dialog)
{
    if (!dialog)
        return;
    command(dialog, IDOK);
    HWND confirm = findWindow(app, "#32770", "Confirm abort download?", 5000);
    check(confirm != nullptr, "Abort asks \"Confirm abort download?\"");
    if (confirm)
        command(confirm, IDOK);
    check(waitGone(dialog, 5000), "OK ends the download and closes the dialog");
}

bool flashHolds(const std::string& flashFile, const std::string& releaseFile)
{
    // Only whole blocks are sent (the handset's 1024 bytes): a shorter last piece ends the image.
    const std::string release = readFile(releaseFile);
    const size_t whole = release.size() > 4 ? (release.size() - 4) / 1024 * 1024 : 0;
    const std::string image = release.substr(release.empty() ? 0 : 4, whole);
    for (int waited = 0; waited < 5000; waited += 100) {
        if (!image.empty() && readFile(flashFile).compare(0, image.size(), image) == 0)
            return true;
        sleepMs(100);
    }
    return false;
}

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

std::string directoryOf(const std::string& path)
{
    return path.substr(0, path.find_last_of('\\'));
}

std::string nameOf(const std::string& path)
{
    return path.substr(path.find_last_of('\\') + 1);
}

std::string withExtension(const std::string& path, const std::string& ext)
{
    const size_t dot = path.find_last_of('.');
    const size_t slash = path.find_last_of('\\');
    const bool hasExt = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    return (hasExt ? path.substr(0, dot) : path) + ext;
}
