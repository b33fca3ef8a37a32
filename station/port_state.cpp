// The words of a port's state (see port_state.h).
#include "station/port_state.h"

const char* portStateText(PortState state)
{
    switch (state) {
    case PortState::Starting: return "starting";
    case PortState::AwaitingAdapter: return "waiting for its adapter";
    case PortState::Unusable: return "port unusable";
    case PortState::Present: return "port present";
    case PortState::Ready: return "ready";
    case PortState::Armed: return "waiting for a handset";
    case PortState::AwaitingLabel: return "scan the label";
    case PortState::Flashing: return "flashing";
    case PortState::Removing: return "remove the handset";
    case PortState::Restarting: return "worker restarting";
    case PortState::Stopped: return "stopped";
    }
    return "";
}

bool holdsUnit(PortState state)
{
    return state == PortState::Armed || state == PortState::AwaitingLabel || state == PortState::Flashing;
}
