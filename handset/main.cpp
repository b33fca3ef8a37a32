// tarvolo-handset: a virtual handset on a pseudo-terminal, for tests, the demo and trying a
// flashing station without a handset. Prints the pty's path first, then serves downloads.
#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>

#include "handset/cli.h"
#include "handset/line_loop.h"
#include "handset/machine.h"
#include "handset/pty.h"

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

// Writes --flash-out and --report; returns false when either failed (already reported).
bool saveOutputs(const HandsetMachine& machine, const HandsetOptions& options)
{
    bool ok = true;
    if (!options.flashOut.empty()) {
        const std::string error = machine.flash().save(options.flashOut, machine.flashOutBlocks());
        if (!error.empty()) {
            std::fprintf(stderr, "tarvolo-handset: %s\n", error.c_str());
            ok = false;
        }
    }
    if (!options.report.empty()) {
        const std::string error = saveReport(machine.report(), options, machine.faults(), options.report);
        if (!error.empty()) {
            std::fprintf(stderr, "tarvolo-handset: %s\n", error.c_str());
            ok = false;
        }
    }
    return ok;
}

int serve(const HandsetOptions& options)
{
    installSignals();
    tightenTimerSlack();
    Pty pty;
    std::string error = openPty(pty);
    if (!error.empty()) {
        std::fprintf(stderr, "tarvolo-handset: %s\n", error.c_str());
        return 1;
    }
    if (!options.link.empty()) {
        error = makeLink(options.link, pty.path);
        if (!error.empty()) {
            std::fprintf(stderr, "tarvolo-handset: %s\n", error.c_str());
            closePty(pty);
            return 1;
        }
    }
    std::printf("%s\n", pty.path.c_str());
    std::fflush(stdout);

    HandsetMachine machine(options);
    error = runLineLoop(pty, machine, options, stopRequested, [&] { saveOutputs(machine, options); });
    if (!error.empty())
        std::fprintf(stderr, "tarvolo-handset: %s\n", error.c_str());
    const bool saved = saveOutputs(machine, options);
    if (!options.link.empty())
        removeLink(options.link, pty.path);
    closePty(pty);
    return error.empty() && saved ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app{"tarvolo-handset"};
    HandsetOptions options;
    FaultArguments faults;
    setupHandsetOptions(app, options, faults);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? 0 : 2;
    }
    const std::string error = applyFaults(faults, options);
    if (!error.empty()) {
        std::fprintf(stderr, "tarvolo-handset: %s\n", error.c_str());
        return 2;
    }
    return serve(options);
}
