// Pty setup and the host's line settings (see pty.h). Linux and other POSIX systems.
#include "handset/pty.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

std::string failed(const char* what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

}  // namespace

std::string openPty(Pty& pty)
{
    pty.master = posix_openpt(O_RDWR | O_NOCTTY);
    if (pty.master < 0)
        return failed("cannot open a pseudo-terminal");
    if (grantpt(pty.master) != 0 || unlockpt(pty.master) != 0) {
        const std::string error = failed("cannot unlock the pseudo-terminal");
        closePty(pty);
        return error;
    }
    const char* name = ptsname(pty.master);
    if (!name) {
        const std::string error = failed("cannot name the pseudo-terminal");
        closePty(pty);
        return error;
    }
    pty.path = name;
    pty.slave = open(pty.path.c_str(), O_RDWR | O_NOCTTY);
    termios settings{};
    if (pty.slave < 0 || tcgetattr(pty.slave, &settings) != 0) {
        const std::string error = failed(("cannot open " + pty.path).c_str());
        closePty(pty);
        return error;
    }
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&settings, B19200);
    cfsetospeed(&settings, B19200);
    const int flags = fcntl(pty.master, F_GETFL);
    if (tcsetattr(pty.slave, TCSANOW, &settings) != 0 || flags < 0 ||
        fcntl(pty.master, F_SETFL, flags | O_NONBLOCK) != 0) {
        const std::string error = failed("cannot configure the pseudo-terminal");
        closePty(pty);
        return error;
    }
    return {};
}

void releaseSlave(Pty& pty)
{
    if (pty.slave >= 0)
        close(pty.slave);
    pty.slave = -1;
}

void closePty(Pty& pty)
{
    releaseSlave(pty);
    if (pty.master >= 0)
        close(pty.master);
    pty.master = -1;
}

uint32_t hostLineSpeed(const Pty& pty)
{
    // On Linux the master reports the slave's termios, whether or not the handset still holds
    // the slave open.
    termios settings{};
    if (tcgetattr(pty.master, &settings) != 0)
        return 0;
    switch (cfgetospeed(&settings)) {
    case B1200: return 1200;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    case B230400: return 230400;
    default: return 0;
    }
}

std::string hostFramingProblem(const Pty& pty)
{
    termios settings{};
    if (tcgetattr(pty.master, &settings) != 0)
        return {};
    std::string problem;
    if ((settings.c_cflag & CSIZE) != CS8)
        problem += " not 8 data bits;";
    if (settings.c_cflag & PARENB)
        problem += " parity on;";
    if (settings.c_cflag & CSTOPB)
        problem += " 2 stop bits;";
    if (settings.c_cflag & CRTSCTS)
        problem += " RTS/CTS flow control on;";
    if (settings.c_iflag & (IXON | IXOFF))
        problem += " XON/XOFF flow control on;";
    return problem;
}

std::string makeLink(const std::string& link, const std::string& target)
{
    struct stat info{};
    if (lstat(link.c_str(), &info) == 0 && !S_ISLNK(info.st_mode))
        return link + " exists and is not a symlink; not replacing it";
    const std::string temporary = link + ".new" + std::to_string(getpid());
    unlink(temporary.c_str());
    if (symlink(target.c_str(), temporary.c_str()) != 0)
        return failed(("cannot create the symlink " + link).c_str());
    if (rename(temporary.c_str(), link.c_str()) != 0) {
        const std::string error = failed(("cannot create the symlink " + link).c_str());
        unlink(temporary.c_str());
        return error;
    }
    return {};
}

void removeLink(const std::string& link, const std::string& target)
{
    char points[4096];
    const ssize_t n = readlink(link.c_str(), points, sizeof points - 1);
    if (n > 0 && std::string(points, static_cast<size_t>(n)) == target)
        unlink(link.c_str());
}

std::string plugPort(Pty& pty, const std::string& link)
{
    std::string error = openPty(pty);
    if (error.empty() && !link.empty()) {
        error = makeLink(link, pty.path);
        if (!error.empty())
            closePty(pty);
    }
    return error;
}

void unplugPort(Pty& pty, const std::string& link)
{
    if (!link.empty())
        removeLink(link, pty.path);
    closePty(pty);
}
