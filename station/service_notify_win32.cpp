// Windows has no service manager that speaks this protocol (see service_notify.h).
#include "station/service_notify.h"

std::unique_ptr<ServiceNotifier> serviceNotifierFromEnvironment() { return nullptr; }
