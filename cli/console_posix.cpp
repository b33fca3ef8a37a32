// Console services on POSIX (see console.h).
#include "cli/console.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace {

std::atomic<bool> gotInterrupt{false};
std::atomic<void (*)()> interruptHook{nullptr};

void onSignal(int)
{
    gotInterrupt.store(true);
    if (void (*hook)() = interruptHook.load())
        hook();
}

}  // namespace

std::vector<std::string> commandLine(int argc, char** argv) { return {argv, argv + argc}; }

void catchInterrupts(void (*onInterrupt)())
{
    interruptHook.store(onInterrupt);
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    // A port whose peer went away must be reported, not kill us.
    signal(SIGPIPE, SIG_IGN);
}

bool interrupted() { return gotInterrupt.load(); }

bool stdoutIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

bool stdoutIsJournal()
{
    // "DEVICE:INODE" of the stream the manager connected; a child whose output was redirected
    // elsewhere inherits the variable but not the stream, hence the comparison.
    const char* stream = std::getenv("JOURNAL_STREAM");
    struct stat st = {};
    unsigned long long device = 0, inode = 0;
    if (!stream || std::sscanf(stream, "%llu:%llu", &device, &inode) != 2 || fstat(STDOUT_FILENO, &st) != 0)
        return false;
    return static_cast<unsigned long long>(st.st_dev) == device && static_cast<unsigned long long>(st.st_ino) == inode;
}

void enableTerminalControl() {}

int terminalColumns()
{
    struct winsize size = {};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 20)
        return size.ws_col;
    return 80;
}

void keepStdoutBytes() {}  // POSIX streams never translate line ends
