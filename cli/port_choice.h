// Turning the text of --port into the device a download opens: a device name as it is, a
// selector (usb:..., usb-path:..., auto) resolved against the ports present, and with
// --wait-port the wait for a port that is not there yet. Runs on the main thread before the
// download session starts; nothing stays open when it returns.
#ifndef TARVOLO_CLI_PORT_CHOICE_H
#define TARVOLO_CLI_PORT_CHOICE_H

#include <string>

#include "cli/status_view.h"

// Returns 0 with the device to open in *device, or the exit code after saying why on stderr:
// 10 no port or several match (the candidates listed), or none appeared within waitSeconds;
// 64 a malformed selector; 130 interrupted while waiting. waitSeconds 0: no waiting. While it
// waits it says so: a line on stderr, or an event on stdout with the JSON view.
int choosePort(const std::string& text, int waitSeconds, ViewMode view, std::string* device);

#endif
