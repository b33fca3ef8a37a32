// The pseudo-terminal the virtual handset lives on: the host opens its slave side as a serial
// port; the handset reads and writes the master side and reads the host's line settings
// through it. A symlink (--link) can name the slave under a stable path.
#ifndef TARVOLO_HANDSET_PTY_H
#define TARVOLO_HANDSET_PTY_H

#include <cstdint>
#include <string>

struct Pty {
    int master = -1;
    int slave = -1;        // held open so the pty survives the host closing and reopening it
    std::string path;      // the slave's device path
};

// Opens a pty pair, the master non-blocking, the slave raw at 19200 8N1 without echo (what a
// serial line looks like before the host configures it). Returns an error text, empty on success.
std::string openPty(Pty& pty);
void closePty(Pty& pty);
// Lets go of the handset's own hold on the slave, so that the master reports a hang-up once
// the host has closed it too.
void releaseSlave(Pty& pty);

// The host's line speed in bit/s as its termios shows through the master; 0 when unknown.
uint32_t hostLineSpeed(const Pty& pty);
// The host's framing when it is not 8 data bits, no parity, one stop bit, no flow control;
// empty when it is.
std::string hostFramingProblem(const Pty& pty);

// Makes `link` a symlink to `target`, replacing an existing symlink (never a file or folder).
std::string makeLink(const std::string& link, const std::string& target);
// Removes `link` when it is still a symlink to `target`.
void removeLink(const std::string& link, const std::string& target);

// The port as a whole, as when a USB adapter is plugged in: a new pty and, when `link` is not
// empty, the link pointed at it. On failure nothing is left open. Returns an error text.
std::string plugPort(Pty& pty, const std::string& link);
// The adapter pulled: the link removed and the pty closed, so the host's reads fail and the
// device node goes away.
void unplugPort(Pty& pty, const std::string& link);

#endif
