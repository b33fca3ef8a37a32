// The handset's event loop on the pty: reads what the host writes and hands it to the
// handset (a single protocol machine or a stream of units), writes the answers paced at their
// line speed (each byte when its ten bit times have passed), closes and reopens the port when
// a unit takes it away, and ends on a signal, after the downloads asked for or after the last
// unit.
#ifndef TARVOLO_HANDSET_LINE_LOOP_H
#define TARVOLO_HANDSET_LINE_LOOP_H

#include <csignal>
#include <string>

#include "handset/pty.h"
#include "handset/stream.h"

// Runs until `stop` becomes non-zero (set by a signal handler; SIGINT, SIGTERM and SIGHUP
// must be blocked by the caller, the loop unblocks them only while it waits), or, once the
// handsets are over (stream.h), their answers have left and the host has closed the pty (at
// most options.lingerMs later). `pty` is open on entry (with options.link pointing at it) and
// may be another one on return, or closed when reopening it failed. Returns an error text,
// empty on a normal end.
std::string runLineLoop(Pty& pty, UnitStream& handsets, const HandsetOptions& options,
                        volatile std::sig_atomic_t& stop);

#endif
