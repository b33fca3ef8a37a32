// The scripted line: a byte source and a recorder for driving the engine deterministically.
//
// It is one more implementation of the serial-port interface. Frames the engine writes are
// recorded with the line speed in force; bytes a test "receives" are delivered into the
// armed receive exactly as the reader thread does (Engine::lineBytes), and transmit-empty is
// raised when the test says the frame has left the line. A fake clock replaces the real
// one: waits advance it instead of sleeping. A recording front end keeps the text of both
// status lines, the progress positions, the Continue state and the results posted.
#ifndef TARVOLO_TESTS_SUPPORT_SCRIPTED_LINE_H
#define TARVOLO_TESTS_SUPPORT_SCRIPTED_LINE_H

#include <cstdint>
#include <string>
#include <vector>

#include "engine/clock.h"
#include "engine/engine_state.h"

struct SentFrame {
    std::vector<uint8_t> bytes;
    uint32_t speed;     // line speed when it was written
    int64_t atMs;       // fake time when it was written
};

struct StatusEvent {
    enum Kind { Text, Fine, Overall, Continue, Result } kind;
    int32_t control;    // for Text
    std::string text;   // for Text
    int32_t value;      // position, enable flag or result
};

class ScriptedLine {
public:
    // Makes its own engine, installs the fake clock and the recording front end in it, and
    // marks the line running at 19200.
    ScriptedLine();
    ~ScriptedLine();
    ScriptedLine(const ScriptedLine&) = delete;
    ScriptedLine& operator=(const ScriptedLine&) = delete;

    // Handset side.
    void receive(const std::vector<uint8_t>& bytes);   // one delivery
    void receive(const std::string& bytes);
    void txEmpty();                                    // the last frame has left the line
    void txEmptyAndReceive(const std::vector<uint8_t>& bytes);  // one event reporting both

    // Time.
    void advance(int64_t ms);          // moves the fake clock
    void tick();                       // runs onTick once
    void runTicks(int64_t ms);         // advances in 500 ms steps, ticking after each step
    int64_t now() const { return nowMs_; }

    // Line.
    void stop();                       // as if the reader had been stopped
    uint32_t speed() const { return speed_; }

    // The engine this line drives: each test its own.
    Engine engine;

    // What the engine did.
    std::vector<SentFrame> frames;
    std::vector<StatusEvent> events;
    std::vector<int32_t> results;
    std::vector<int32_t> waits;        // each pause the waits asked for, in ms
    std::string line(int32_t control) const;   // current text of a status line
    int32_t fine = -1;                 // last upper-bar position
    int32_t overall = -1;              // last lower-bar position
    int32_t continueEnabled = 0;
    int purges = 0;
    std::vector<uint32_t> speedChanges;

    // Frames written since the last call.
    std::vector<SentFrame> takeFrames();

    // The instance in use: the fake clock's callbacks have no context to reach it through.
    static ScriptedLine* current;

    // Internal, used by the callbacks.
    void onWrite(const uint8_t* bytes, uint32_t length);
    void onSpeed(uint32_t baud);
    void onPause(int32_t ms);
    ClockMark clockNow() const;
    std::string phaseText_, adviceText_;
    int64_t nowMs_ = 1000000;          // any start value; not zero so marks are not trivial
    uint32_t speed_ = 19200;
private:
    FrontEnd frontEnd_;
    size_t taken_ = 0;
};

std::vector<uint8_t> bytesOf(const std::string& s);

// Makes a temporary release file (productId, then image) the engine's open release file,
// positioned at its start; it is deleted when closed. Closes any file open before.
void loadReleaseFile(Engine& engine, const std::string& productId,
                     const std::vector<uint8_t>& image);

// A 64-byte parameter record as a handset sends it after '>p'.
std::vector<uint8_t> parameterRecord(const std::string& productId, char protocol,
                                     int32_t blockSize, uint8_t blankByte,
                                     const std::string& code = "DOWNLD");

#endif
