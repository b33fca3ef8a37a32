// The harnesses' scripted line (see fuzz_line.h). Besides recording, the front end checks
// what every front end relies on: status texts are whole engine messages, progress positions
// stay in their ranges, Continue is 0 or 1, and once the result is posted the engine shows
// nothing more. A violation aborts, so libFuzzer keeps the input.
#include "tests/fuzz/fuzz_line.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "engine/engine_kit.h"
#include "engine/engine_state.h"
#include "engine/handlers.h"
#include "engine/release_file.h"
#include "transport/frame_io.h"

namespace fuzzline {
namespace {

struct Line {
    FrameCheck onFrame = nullptr;
    ResultCheck onResult = nullptr;
    uint32_t frames = 0;
    uint32_t results = 0;
    uint32_t speed = 19200;
    int64_t now = 1000000;  // not zero, so that marks are not trivial
    bool stopped = false;
};
Line line;
std::unique_ptr<Engine> current;  // this input's own engine, made by begin

void require(bool condition)
{
    if (!condition)
        std::abort();
}

// --- the port ---------------------------------------------------------------------------
int portToken;
SerialPort* const port = reinterpret_cast<SerialPort*>(&portToken);

bool portWrite(SerialPort*, const uint8_t* bytes, uint32_t length)
{
    require(length > 0 && bytes != nullptr && !line.stopped);
    line.frames++;
    if (line.onFrame)
        line.onFrame(bytes, length);
    return true;
}
void portSetEventMask(SerialPort*, uint32_t) {}
bool portWaitEvent(SerialPort*, uint32_t* events) { *events = 0; return true; }
int32_t portBytesWaiting(SerialPort*) { return 0; }
int32_t portRead(SerialPort*, uint8_t*, uint32_t) { return 0; }
void portPurge(SerialPort*) {}
void portSetSpeed(SerialPort*, uint32_t baud)
{
    require(baud == 19200 || baud == 38400 || baud == 57600 || baud == 115200);
    line.speed = baud;
}
void portClose(SerialPort*) {}

const SerialPortOps ops = {portWrite, portSetEventMask, portWaitEvent, portBytesWaiting,
                           portRead,  portPurge,        portSetSpeed,  portClose};

// --- the clock --------------------------------------------------------------------------
ClockMark fakeNow()
{
    return ClockMark{static_cast<int32_t>(line.now / 1000), static_cast<uint16_t>(line.now % 1000)};
}
void fakePause(int32_t ms)
{
    require(ms >= 1);
    line.now += ms;
}
const ClockSource clock = {fakeNow, fakePause};

// --- the front end ----------------------------------------------------------------------
bool endsWith(const char* text, size_t length, const char* tail)
{
    const size_t n = std::strlen(tail);
    return length >= n && std::memcmp(text + length - n, tail, n) == 0;
}

void feText(void*, int32_t control, const char* text)
{
    require(line.results == 0);
    require(control == kPhaseLine || control == kAdviceLine);
    const size_t length = std::strlen(text);
    require(length < 512);
    // "\r\n" clears a line; every message starts with "\n" or "\r\n" and ends with "\r\n".
    require(text[0] == '\n' || (text[0] == '\r' && text[1] == '\n'));
    require(endsWith(text, length, "\r\n"));
}
void feFine(void*, int32_t position)
{
    require(line.results == 0 && position >= 0 && position <= 99);
}
void feOverall(void*, int32_t position) { require(line.results == 0 && position >= 0); }
void feContinue(void*, int32_t enable)
{
    require(line.results == 0 && (enable == 0 || enable == 1));
}
void feResult(void*, int32_t result)
{
    line.results++;
    if (line.onResult)
        line.onResult(result);
}
const FrontEnd frontEnd = {nullptr, feText, feFine, feOverall, feContinue, feResult, nullptr};

}  // namespace

Engine& currentEngine() { return *current; }

void begin(FrameCheck onFrame, ResultCheck onResult)
{
    line = Line{};
    line.onFrame = onFrame;
    line.onResult = onResult;
    current = std::make_unique<Engine>();
    Engine& engine = *current;
    setClockSource(engine, &clock);
    setFrontEnd(engine, &frontEnd);
    engine.io.attach(&ops, port);
    engine.io.setRunning(true);
}

void end()
{
    current.reset();
}

void useReleaseFile(FILE* file)
{
    Engine& engine = *current;
    EngineLock lock(engine);
    closeReleaseFile(engine);
    engine.releaseFile = file;
}

void txEmpty() { current->lineTxEmpty(); }

void receive(const uint8_t* bytes, uint32_t length) { current->lineBytes(bytes, length); }

void tickAfter(int32_t ms)
{
    line.now += ms;
    runTick(*current);
}

void pressContinueButton() { pressContinue(*current); }

void stopLine()
{
    line.stopped = true;
    Engine& engine = *current;
    engine.io.setRunning(false);
    EngineLock lock(engine);
    closeReleaseFile(engine);  // the dialog's Abort closes it too
}

bool lineStopped() { return line.stopped; }

uint32_t framesWritten() { return line.frames; }
uint32_t resultsPosted() { return line.results; }
uint32_t currentSpeed() { return line.speed; }
int64_t nowMs() { return line.now; }

}  // namespace fuzzline
