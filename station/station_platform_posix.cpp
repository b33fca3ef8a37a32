// The station's platform needs on POSIX (see station_platform.h).
#include "station/station_platform.h"

#include <unistd.h>

#include <csignal>

void ignoreInterruptsAndBrokenPipes()
{
    std::signal(SIGINT, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
}

std::string machineName()
{
    char name[256] = "";
    if (gethostname(name, sizeof name - 1) != 0)
        return "station";
    return name;
}
