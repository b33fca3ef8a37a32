// The handset's event loop on the pty: reads what the host writes and hands it to the
// protocol machine, writes the machine's answers paced at their line speed (each byte when
// its ten bit times have passed), and ends on a signal or after the downloads asked for.
#ifndef TARVOLO_HANDSET_LINE_LOOP_H
#define TARVOLO_HANDSET_LINE_LOOP_H

#include <csignal>
#include <functional>

#include "handset/machine.h"
#include "handset/pty.h"

// Runs until `stop` becomes non-zero (set by a signal handler; SIGINT, SIGTERM and SIGHUP
// must be blocked by the caller, the loop unblocks them only while it waits), or, when
// options.downloads is not 0, until that many downloads have ended, their answers have left,
// and the host has closed the pty (at most options.lingerMs later). `downloadEnded` runs
// after each download's end. Returns an error text, empty on a normal end.
std::string runLineLoop(Pty& pty, HandsetMachine& machine, const HandsetOptions& options,
                        volatile std::sig_atomic_t& stop, const std::function<void()>& downloadEnded);

#endif
