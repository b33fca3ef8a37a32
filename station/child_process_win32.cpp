// A worker process on Windows (see child_process.h): CreateProcess with two anonymous pipes,
// in a process group of its own.
#include "station/child_process.h"

#include <windows.h>

#include <mutex>

namespace {

// One argument quoted the way the C runtime splits a command line again.
std::string quoteArgument(const std::string& arg)
{
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos)
        return arg;
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(2 * backslashes, '\\');
    return quoted + "\"";
}

}  // namespace

struct ChildProcess::Handles {
    PROCESS_INFORMATION process{};
    HANDLE input = nullptr;   // the child's standard input, our end
    HANDLE output = nullptr;  // the child's standard output, our end
    std::string pending;
    std::mutex inputMutex;
    bool started = false;
    bool waited = false;
    DWORD exitCode = 0;
};

ChildProcess::ChildProcess() : handles_(std::make_unique<Handles>()) {}

ChildProcess::~ChildProcess()
{
    if (handles_->started && !handles_->waited) {
        kill();
        wait();
    }
    closeInput();
    if (handles_->output)
        CloseHandle(handles_->output);
    if (handles_->started) {
        CloseHandle(handles_->process.hProcess);
        CloseHandle(handles_->process.hThread);
    }
}

bool ChildProcess::start(const std::vector<std::string>& argv, const std::string& errorFile,
                         std::string* error)
{
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE childIn = nullptr, ourIn = nullptr, ourOut = nullptr, childOut = nullptr;
    if (!CreatePipe(&childIn, &ourIn, &inherit, 0) || !CreatePipe(&ourOut, &childOut, &inherit, 0)) {
        *error = "cannot make pipes for a worker";
        return false;
    }
    SetHandleInformation(ourIn, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(ourOut, HANDLE_FLAG_INHERIT, 0);
    HANDLE childErr = CreateFileA(errorFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    std::string commandLine;
    for (const std::string& a : argv)
        commandLine += (commandLine.empty() ? "" : " ") + quoteArgument(a);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childIn;
    startup.hStdOutput = childOut;
    startup.hStdError = childErr != INVALID_HANDLE_VALUE ? childErr : GetStdHandle(STD_ERROR_HANDLE);
    const BOOL ok = CreateProcessA(argv[0].c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                   CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &startup,
                                   &handles_->process);
    CloseHandle(childIn);
    CloseHandle(childOut);
    if (childErr != INVALID_HANDLE_VALUE)
        CloseHandle(childErr);
    if (!ok) {
        CloseHandle(ourIn);
        CloseHandle(ourOut);
        *error = "cannot start a worker (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    handles_->started = true;
    handles_->input = ourIn;
    handles_->output = ourOut;
    return true;
}

bool ChildProcess::writeLine(const std::string& line)
{
    std::lock_guard<std::mutex> lock(handles_->inputMutex);
    if (!handles_->input)
        return false;
    const std::string text = line + "\n";
    DWORD written = 0;
    return WriteFile(handles_->input, text.data(), static_cast<DWORD>(text.size()), &written,
                     nullptr) && written == text.size();
}

bool ChildProcess::readLine(std::string* line)
{
    std::string& pending = handles_->pending;
    for (;;) {
        const size_t end = pending.find('\n');
        if (end != std::string::npos) {
            *line = pending.substr(0, end);
            if (!line->empty() && line->back() == '\r')
                line->pop_back();
            pending.erase(0, end + 1);
            return true;
        }
        char buffer[4096];
        DWORD got = 0;
        if (!ReadFile(handles_->output, buffer, sizeof buffer, &got, nullptr) || got == 0)
            return false;
        pending.append(buffer, got);
    }
}

void ChildProcess::closeInput()
{
    std::lock_guard<std::mutex> lock(handles_->inputMutex);
    if (handles_->input) {
        CloseHandle(handles_->input);
        handles_->input = nullptr;
    }
}

void ChildProcess::kill()
{
    if (handles_->started && !handles_->waited)
        TerminateProcess(handles_->process.hProcess, 1);
}

int ChildProcess::wait()
{
    if (!handles_->started)
        return -1;
    if (!handles_->waited) {
        WaitForSingleObject(handles_->process.hProcess, INFINITE);
        GetExitCodeProcess(handles_->process.hProcess, &handles_->exitCode);
        handles_->waited = true;
    }
    return static_cast<int>(handles_->exitCode);
}

long ChildProcess::pid() const { return static_cast<long>(handles_->process.dwProcessId); }
