// The station's platform needs on POSIX (see station_platform.h).
#include "station/station_platform.h"

#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

void leaveStopSignalsToTheStation()
{
    std::signal(SIGINT, SIG_IGN);
    std::signal(SIGTERM, SIG_IGN);
    std::signal(SIGHUP, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
}

long currentProcessId() { return static_cast<long>(::getpid()); }

// EPERM: it runs, as another user.
bool processRunning(long pid) { return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM); }

bool ownPlainFolder(const std::string& path)
{
    struct stat info;
    return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid();
}

std::string machineName()
{
    char name[256] = "";
    if (gethostname(name, sizeof name - 1) != 0)
        return "station";
    return name;
}

bool diskQuotaExceeded(int error) { return error == EDQUOT; }

// Canonical mode stays: the terminal still hands over whole lines, and Ctrl-C still signals.
bool quietOperatorInput(unsigned long* saved)
{
    termios settings;
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &settings) != 0)
        return false;
    *saved = settings.c_lflag;
    settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL);
    return tcsetattr(STDIN_FILENO, TCSANOW, &settings) == 0;
}

void restoreOperatorInput(unsigned long saved)
{
    termios settings;
    if (tcgetattr(STDIN_FILENO, &settings) != 0)
        return;
    settings.c_lflag = static_cast<tcflag_t>(saved);
    tcsetattr(STDIN_FILENO, TCSANOW, &settings);
}
