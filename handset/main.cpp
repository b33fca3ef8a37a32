// tarvolo-handset: a virtual handset on a pseudo-terminal, for tests, the demo and trying a
// flashing station without a handset. Prints the pty's path first, then serves downloads, to
// one handset or to a stream of units plugged in one after another (--units).
#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>

#include "handset/cli.h"
#include "handset/line_loop.h"
#include "handset/pty.h"
#include "handset/replay.h"
#include "handset/stream.h"
#include "handset/unit_options.h"
#include "tarvolo_version.h"

#if defined(__linux__)
#include <sys/prctl.h>
// Answer bytes are paced in tens of microseconds: ask for waits that end on time.
static void tightenTimerSlack() { prctl(PR_SET_TIMERSLACK, 1UL); }
#else
static void tightenTimerSlack() {}
#endif

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void onSignal(int) { stopRequested = 1; }

// Blocks the ending signals outside the loop's wait, so that one arriving between two checks
// of the flag is taken by the wait instead of being lost.
void installSignals()
{
    struct sigaction action{};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigset_t blocked;
    sigemptyset(&blocked);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signal, &action, nullptr);
        sigaddset(&blocked, signal);
    }
    sigprocmask(SIG_BLOCK, &blocked, nullptr);
}

void printMessages(UnitStream& handsets)
{
    for (const std::string& line : handsets.takeMessages())
        std::fprintf(stderr, "tarvolo-handset: %s\n", line.c_str());
}

int serve(const HandsetOptions& options, const StreamOptions& stream)
{
    installSignals();
    tightenTimerSlack();
    Pty pty;
    std::string error = plugPort(pty, options.link);
    if (!error.empty()) {
        std::fprintf(stderr, "tarvolo-handset: %s\n", error.c_str());
        return 1;
    }
    std::printf("%s\n", pty.path.c_str());
    std::fflush(stdout);

    UnitStream handsets(options, stream);
    error = runLineLoop(pty, handsets, options, stopRequested);
    if (!error.empty())
        std::fprintf(stderr, "tarvolo-handset: %s\n", error.c_str());
    const bool saved = handsets.saveOutputs();
    printMessages(handsets);
    unplugPort(pty, options.link);
    return error.empty() && saved ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app{"tarvolo-handset"};
    app.set_version_flag("--version", "tarvolo-handset " TARVOLO_VERSION);
    HandsetOptions options;
    FaultArguments faults;
    StreamOptions stream;
    setupHandsetOptions(app, options, faults, stream);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? 0 : 2;
    }
    std::string error = applyFaults(faults, options);
    if (error.empty())
        error = applyStream(stream, options);
    if (!error.empty()) {
        std::fprintf(stderr, "tarvolo-handset: %s\n", error.c_str());
        return 2;
    }
    if (!options.replay.empty()) {
        installSignals();
        return runReplay({options.replay, options.replaySpeed, options.link, options.lingerMs}, stopRequested);
    }
    return serve(options, stream);
}
