// The lines a barcode scanner types into the station's terminal (--scan): standard input,
// read by a thread of its own so that the station's loop never waits for it. Works the same
// on a terminal, a console and a pipe; the end of input only means that no more labels come.
// On a terminal what is typed is not echoed, so that it does not break into the table.
//
// Threads: the reading thread fills the queue; the station's main thread takes from it. The
// thread may stay blocked in a read until the process ends: it shares the queue, never the
// station.
#ifndef TARVOLO_STATION_LABEL_INPUT_H
#define TARVOLO_STATION_LABEL_INPUT_H

#include <memory>
#include <string>
#include <vector>

class LabelInput {
public:
    LabelInput();   // starts reading standard input
    ~LabelInput();  // puts the terminal's echo back
    LabelInput(const LabelInput&) = delete;
    LabelInput& operator=(const LabelInput&) = delete;

    // The lines read since the last call, in order.
    std::vector<std::string> take();
    // Standard input has ended: once true, the next take() has every line there will be.
    bool ended() const;

    struct Shared;  // what the reading thread and the station share

private:
    std::shared_ptr<Shared> shared_;
    unsigned long savedEcho_ = 0;  // what quietOperatorInput found, for its restore
    bool quieted_ = false;
};

#endif
