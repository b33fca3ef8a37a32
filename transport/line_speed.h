// Line speeds: the allowed download speeds and the switch of an open port's speed during a
// download.
#ifndef TARVOLO_TRANSPORT_LINE_SPEED_H
#define TARVOLO_TRANSPORT_LINE_SPEED_H

#include <cstdint>

#include "transport/frame_io.h"

// The speed itself when it is 19200, 38400, 57600 or 115200; otherwise 0.
uint32_t isAllowedSpeed(uint32_t speed);

// Sets the open port's speed: 38400, 57600 or 115200 as given, 19200 for every other value.
// Discards the port's received and unsent bytes first. Does nothing while the line is not
// running. Runs on either thread, under the lock of the line's owner.
void switchLineSpeed(FrameIo& io, uint32_t speed);

#endif
