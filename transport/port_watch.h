// Waking a thread that waits for a serial port to appear (an adapter plugged in, a device
// path created) as soon as the machine's ports may have changed. Linux watches /dev, udev's
// /dev/serial links and the folder of the device path it is given (inotify); Windows watches
// the registry's map of serial devices. A wait also ends at its timeout, so a caller that
// looks again each time loses nothing where no event comes (Wine, a folder made later).
//
// One object per waiting thread; one implementation file per platform.
#ifndef TARVOLO_TRANSPORT_PORT_WATCH_H
#define TARVOLO_TRANSPORT_PORT_WATCH_H

#include <memory>
#include <string>

class PortWatch {
public:
    // `devicePath`, when not empty, is a port's device path whose folder is watched too.
    explicit PortWatch(const std::string& devicePath);
    ~PortWatch();
    PortWatch(const PortWatch&) = delete;
    PortWatch& operator=(const PortWatch&) = delete;

    // Returns when a change may have happened since the last call, or after timeoutMs.
    void wait(int timeoutMs);

private:
    struct Watched;
    std::unique_ptr<Watched> watched_;
};

#endif
