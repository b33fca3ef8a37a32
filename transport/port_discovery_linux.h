// Port discovery on Linux over trees rooted anywhere: the tests give it fixture copies of
// /sys and /dev. listPorts() is this with "/sys" and "/dev".
#ifndef TARVOLO_TRANSPORT_PORT_DISCOVERY_LINUX_H
#define TARVOLO_TRANSPORT_PORT_DISCOVERY_LINUX_H

#include <string>
#include <vector>

#include "transport/port_discovery.h"

// The serial ports that `sysRoot` (a sysfs tree) describes, named under `devRoot` (where the
// device nodes and udev's serial/by-id and serial/by-path links are).
std::vector<PortInfo> listPorts(const std::string& sysRoot, const std::string& devRoot);

#endif
