// Choosing what to download: the Open and Save dialogs, the extension check, the release
// path, the conversion by the batch file, and the hand-over to the download dialog.
#include <windows.h>
#include <commdlg.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "resources/resource.h"
#include "shell/app.h"
#include "settings/conversion.h"
#include "settings/path_record.h"
#include "settings/settings.h"

namespace {

// Pairs of description and pattern, each ending in a zero, the list in a second zero.
const char kOpenFilter[] =
    "Release (.rel)\0*.rel\0"
    "Binary (.bin)\0*.bin\0"
    "Motorola S-record (.sre;.mot)\0*.sre;*.mot\0"
    "Absolute (.abs)\0*.abs\0"
    "Compressed (.lzh)\0*.lzh\0"
    "Build Files (.rel;.bin;.sre;.mot;.abs;.lzh)\0*.rel;*.bin;*.sre;*.mot;*.abs;*.lzh\0"
    "All Files (*.*)\0*.*\0";
const char kSaveFilter[] = "Release (.rel)\0*.rel\0";
constexpr DWORD kNameBufferSize = 512;

// The records' full paths are the settings' paths: keep both in step.
void setSourcePath(App& app, const char* path)
{
    setFullPath(&app.sourceRecord, path);
    copyBounded(settings.sourcePath, sizeof settings.sourcePath, app.sourceRecord.fullPath);
}

void setReleasePath(App& app, const char* path)
{
    setFullPath(&app.releaseRecord, path);
    copyBounded(settings.releasePath, sizeof settings.releasePath, app.releaseRecord.fullPath);
}

// A path the dialog returned that does not fit the record would name another file.
bool fitsPathRecord(HWND window, const char* path)
{
    if (std::strlen(path) < sizeof PathRecord::fullPath)
        return true;
    MessageBoxA(window, "The path of the chosen file is too long.\nPlease choose a file with a shorter path.",
                "Path too long", MB_ICONWARNING);
    return false;
}

// The dialogs are described with the structure's original size, 76 bytes on 32-bit Windows
// (no places bar). A 64-bit structure has no such size: there it is the whole structure.
#if defined(_WIN64)
constexpr DWORD kOpenFileNameSize = sizeof(OPENFILENAMEA);
#else
// OPENFILENAME_SIZE_VERSION_400A: the fields up to lpTemplateName.
constexpr DWORD kOpenFileNameSize = offsetof(OPENFILENAMEA, lpTemplateName) + sizeof(LPCSTR);
static_assert(kOpenFileNameSize == 76, "OPENFILENAMEA of the original 32-bit size");
#endif

OPENFILENAMEA fileDialogFields(HWND window, PathRecord& record, const char* filter,
                               const char* title, DWORD flags)
{
    OPENFILENAMEA dialog{};
    dialog.lStructSize = kOpenFileNameSize;
    dialog.hwndOwner = window;
    dialog.hInstance = appOf(window).instance;
    dialog.lpstrFilter = filter;
    dialog.lpstrFile = record.nameExt;
    dialog.nMaxFile = kNameBufferSize;
    dialog.lpstrInitialDir = record.driveDir;
    dialog.lpstrTitle = title;
    dialog.Flags = flags;
    return dialog;
}

// Returns true when a source file was chosen (whatever its extension).
bool chooseSourceFile(HWND window)
{
    App& app = appOf(window);
    char backup[kPathBufferSize];
    copyBounded(backup, sizeof backup, app.sourceRecord.fullPath);
    OPENFILENAMEA dialog = fileDialogFields(window, app.sourceRecord, kOpenFilter, "Select a download file",
                                            OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_HIDEREADONLY);
    dialog.nFilterIndex = static_cast<DWORD>(settings.filterIndex);
    if (!GetOpenFileNameA(&dialog) || !fitsPathRecord(window, dialog.lpstrFile)) {
        setSourcePath(app, backup);
        reportDialogError(CommDlgExtendedError(), window);
        return false;
    }
    settings.filterIndex = static_cast<int32_t>(dialog.nFilterIndex);
    setSourcePath(app, dialog.lpstrFile);
    return true;
}

// The Save dialog for the converted file. The proposed path stays the release path when
// the dialog is not accepted.
bool chooseReleasePath(HWND window)
{
    App& app = appOf(window);
    char backup[kPathBufferSize];
    copyBounded(backup, sizeof backup, app.releaseRecord.fullPath);
    OPENFILENAMEA dialog = fileDialogFields(window, app.releaseRecord, kSaveFilter,
                                            "Select a path and filename for the converted file",
                                            OFN_EXPLORER | OFN_OVERWRITEPROMPT | OFN_HIDEREADONLY);
    dialog.nFilterIndex = 1;
    dialog.lpstrDefExt = "rel";
    if (!GetSaveFileNameA(&dialog) || !fitsPathRecord(window, dialog.lpstrFile)) {
        setReleasePath(app, backup);
        reportDialogError(CommDlgExtendedError(), window);
        return false;
    }
    setReleasePath(app, dialog.lpstrFile);
    return true;
}

void setEnvironment(const ConversionCall& call, bool set)
{
    for (const auto& [name, value] : call.environment)
        SetEnvironmentVariableA(name.c_str(), set ? value.c_str() : nullptr);
}

// Runs the batch file from the start-up directory and waits until it has ended, as the
// conversion must be complete before the release file is opened. Whether the conversion
// worked shows when the release file is opened. Returns false when it could not be run.
bool runConversion(HWND window)
{
    App& app = appOf(window);
    ConversionCall call;
    std::string reason;
    if (!buildConversionCall(app.sourceRecord, app.releaseRecord, settings.productId, &call,
                             &reason)) {
        MessageBoxA(window, reason.c_str(), "Cannot convert this file", MB_ICONWARNING);
        return false;
    }
    const std::string& startupDirectory = app.startupDirectory;
    SetCurrentDirectoryA(startupDirectory.c_str());
    std::vector<char> commandLine(call.commandLine.begin(), call.commandLine.end());
    commandLine.push_back(0);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    setEnvironment(call, true);
    const BOOL started = CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0,
                                        nullptr, startupDirectory.c_str(), &startup, &process);
    setEnvironment(call, false);
    if (!started) {
        MessageBoxA(window, "The command interpreter could not be started to run Tarvolo.BAT.",
                    "Cannot convert this file", MB_ICONERROR);
        return false;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

std::string releasePathFor(const App& app, const PathRecord& directoryFrom)
{
    return std::string(directoryFrom.drive) + directoryFrom.dir + app.sourceRecord.fname + ".rel";
}

void startDownload(HWND window) { runDownload(window, appOf(window).releaseRecord.fullPath); }

}  // namespace

void openAndDownloadCommand(HWND window)
{
    App& app = appOf(window);
    if (!chooseSourceFile(window))
        return;
    if (!isRecognisedSourceExtension(app.sourceRecord.ext)) {
        MessageBoxA(window,
                    "The file extension is not recognised\nOnly REL, BIN, MOT, SRE, ABS and LZH\n"
                    "files may be specified.\nPlease specify another file or copy/rename\n"
                    "your file appropriately.\n",
                    "Cannot convert this file", MB_ICONWARNING);
        return;
    }
    if (isReleaseExtension(app.sourceRecord.ext)) {
        setReleasePath(app, releasePathFor(app, app.sourceRecord).c_str());
    } else {
        setReleasePath(app, releasePathFor(app, app.releaseRecord).c_str());
        if (!chooseReleasePath(window) || !runConversion(window))
            return;
    }
    startDownload(window);
}

void goCommand(HWND window)
{
    App& app = appOf(window);
    if (!isReleaseExtension(app.sourceRecord.ext) && !runConversion(window))
        return;
    startDownload(window);
}
