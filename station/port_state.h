// Where one port of a station stands: one state, not flags that together mean one. The
// station's onEvent (station.cpp) is the one place that moves a port from state to state on
// its worker's events; its restart path the one place a port whose worker is gone goes on.
#ifndef TARVOLO_STATION_PORT_STATE_H
#define TARVOLO_STATION_PORT_STATE_H

enum class PortState {
    Starting,         // a worker was started and has not yet said where its port is
    AwaitingAdapter,  // the port is absent (or the selector names several)
    Unusable,         // present but it cannot be opened; the worker tries again
    Present,          // the port is there; its worker gets ready
    Ready,            // the worker waits for an arm
    Armed,            // an arm was sent: the worker waits for a handset
    AwaitingLabel,    // scanning labels: a handset answered and waits for its label
    Flashing,         // a unit is in progress
    Removing,         // waiting for the handset to be taken off the cable
    Restarting,       // the worker is gone; a fresh one starts after the pause
    Stopped,          // the worker is gone and none follows
};

// For people: the row's state column.
const char* portStateText(PortState state);
// States in which the port holds one of the --units: an arm given out or a unit under way.
bool holdsUnit(PortState state);

#endif
