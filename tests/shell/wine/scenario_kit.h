// What the Wine test driver's scenarios share: the run's context (program, working directory,
// hook DLL, the scenario's arguments), settings files written for a scenario, starting and
// closing the program, Go!, message boxes, the end of a download and the handset's flash.
#ifndef TARVOLO_TESTS_SHELL_WINE_SCENARIO_KIT_H
#define TARVOLO_TESTS_SHELL_WINE_SCENARIO_KIT_H

#include <windows.h>

#include <string>
#include <vector>

#include "settings/settings.h"
#include "tests/shell/wine/driver_kit.h"

struct Context {
    std::string exe, directory, hookDll;
    std::vector<std::string> args;
    std::string settingsFile() const { return directory + "\\Tarvolo.cfg"; }
};

// Program-start settings with these two paths (COM1, 115200, gang off, filter 1).
Settings settingsWith(const std::string& release, const std::string& source);
void writeSettings(const Context& c, const Settings& s);
// The settings file as the program left it (all fields zero when there is none).
Settings readSettings(const Context& c);

// Writes the settings and starts the program; false (and reported) when no window came.
bool startWith(const Context& c, const Settings& s, App* app);
// Closes the main window (which saves the settings) and waits for the program to end.
void closeApp(App& app);

// Go! and the download dialog, titled with the release path, that it opens.
HWND goAndFindDialog(App& app, const std::string& release);
HWND startGo(const Context& c, App* app, const std::string& release, const std::string& source = "");

// Waits up to `ms` for the message box `caption` and checks its text; returns it (or null).
HWND expectBox(const App& app, const std::string& caption, const std::string& text, DWORD ms = 5000);
// Presses the box's button `id` and checks that the box goes.
void answerBox(HWND box, UINT id, const std::string& what);
// True when no window but the main window is up after `ms` (nothing opened, nothing shown).
bool onlyMainWindow(const App& app, DWORD ms);
// Opens About and closes it again: the program still answers its menu.
void checkStillUsable(const App& app, const std::string& after);

// Waits for the download's outcome box ("Download status") while the dialog is open.
HWND awaitOutcomeBox(const App& app, HWND dialog, DWORD ms);
// Aborts a running download through the confirmation, and checks the dialog closes.
void abortDownload(const App& app, HWND dialog);
// True once the handset's flash (written after each download) starts with the release
// file's image, as far as it fills whole blocks of 1024 bytes (the handset's block size);
// waits up to 5 s for the handset to write it.
bool flashHolds(const std::string& flashFile, const std::string& releaseFile);

bool contains(const std::string& text, const std::string& part);
// The directory of a path, without its last separator; and the name after it.
std::string directoryOf(const std::string& path);
std::string nameOf(const std::string& path);
// `path` with its extension replaced by `ext` (with the dot).
std::string withExtension(const std::string& path, const std::string& ext);

#endif
