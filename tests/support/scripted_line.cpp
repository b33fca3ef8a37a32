// The scripted line (see scripted_line.h).
#include "tests/support/scripted_line.h"

#include <cstdio>

#include "engine/engine_kit.h"
#include "engine/release_file.h"
#include "transport/frame_io.h"

ScriptedLine* ScriptedLine::current = nullptr;

namespace {

// --- the port ---------------------------------------------------------------------------
// The platform ports define SerialPort; the scripted one is the line itself.
ScriptedLine* lineOf(SerialPort* port) { return reinterpret_cast<ScriptedLine*>(port); }

bool portWrite(SerialPort* port, const uint8_t* bytes, uint32_t length)
{
    lineOf(port)->onWrite(bytes, length);
    return true;
}
void portSetEventMask(SerialPort*, uint32_t) {}
bool portWaitEvent(SerialPort*, uint32_t* events) { *events = 0; return true; }
int32_t portBytesWaiting(SerialPort*) { return 0; }
int32_t portRead(SerialPort*, uint8_t*, uint32_t) { return 0; }
void portPurge(SerialPort* port) { lineOf(port)->purges++; }
void portSetSpeed(SerialPort* port, uint32_t baud) { lineOf(port)->onSpeed(baud); }
void portClose(SerialPort*) {}

const SerialPortOps scriptedOps = {portWrite, portSetEventMask, portWaitEvent, portBytesWaiting,
                                   portRead, portPurge, portSetSpeed, portClose};

// --- the clock --------------------------------------------------------------------------
ClockMark fakeNow() { return ScriptedLine::current->clockNow(); }
void fakePause(int32_t ms) { ScriptedLine::current->onPause(ms); }
const ClockSource fakeClock = {fakeNow, fakePause};

// --- the front end ----------------------------------------------------------------------
ScriptedLine* lineOf(void* context) { return static_cast<ScriptedLine*>(context); }

void feText(void* context, int32_t control, const char* text)
{
    ScriptedLine* s = lineOf(context);
    (control == kPhaseLine ? s->phaseText_ : s->adviceText_) = text;
    s->events.push_back({StatusEvent::Text, control, text, 0});
}
void feFine(void* context, int32_t position)
{
    lineOf(context)->fine = position;
    lineOf(context)->events.push_back({StatusEvent::Fine, 0, {}, position});
}
void feOverall(void* context, int32_t position)
{
    lineOf(context)->overall = position;
    lineOf(context)->events.push_back({StatusEvent::Overall, 0, {}, position});
}
void feContinue(void* context, int32_t enable)
{
    lineOf(context)->continueEnabled = enable;
    lineOf(context)->events.push_back({StatusEvent::Continue, 0, {}, enable});
}
void feResult(void* context, int32_t result)
{
    lineOf(context)->results.push_back(result);
    lineOf(context)->events.push_back({StatusEvent::Result, 0, {}, result});
}
}  // namespace

std::vector<uint8_t> bytesOf(const std::string& s) { return {s.begin(), s.end()}; }

void loadReleaseFile(Engine& engine, const std::string& productId,
                     const std::vector<uint8_t>& image)
{
    EngineLock lock(engine);
    closeReleaseFile(engine);
    FILE* file = std::tmpfile();
    if (!file)
        return;
    std::fwrite(productId.data(), 1, productId.size(), file);
    if (!image.empty())
        std::fwrite(image.data(), 1, image.size(), file);
    std::rewind(file);
    engine.releaseFile = file;
}

std::vector<uint8_t> parameterRecord(const std::string& productId, char protocol,
                                     int32_t blockSize, uint8_t blankByte,
                                     const std::string& code)
{
    std::vector<uint8_t> record(wire::kParameterRecordLength, 0);
    for (size_t i = 0; i < productId.size() && i < 4; ++i)
        record[i] = static_cast<uint8_t>(productId[i]);
    for (size_t i = 0; i < code.size() && i < 6; ++i)
        record[16 + i] = static_cast<uint8_t>(code[i]);
    record[22] = static_cast<uint8_t>(protocol);
    const uint32_t size = static_cast<uint32_t>(blockSize);
    for (int i = 0; i < 4; ++i)
        record[32 + static_cast<size_t>(i)] = static_cast<uint8_t>(size >> (8 * i));
    record[41] = blankByte;
    return record;
}

ScriptedLine::ScriptedLine() : frontEnd_{this, feText, feFine, feOverall, feContinue, feResult, nullptr}
{
    current = this;
    setClockSource(engine, &fakeClock);
    setFrontEnd(engine, &frontEnd_);
    engine.io.attach(&scriptedOps, reinterpret_cast<SerialPort*>(this));
    engine.io.setRunning(true);
}

ScriptedLine::~ScriptedLine()
{
    engine.io.setRunning(false);
    engine.io.attach(nullptr, nullptr);
    setFrontEnd(engine, nullptr);
    if (current == this)
        current = nullptr;
}

void ScriptedLine::receive(const std::vector<uint8_t>& bytes)
{
    engine.lineBytes(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

void ScriptedLine::receive(const std::string& bytes) { receive(bytesOf(bytes)); }

void ScriptedLine::txEmpty() { engine.lineTxEmpty(); }

void ScriptedLine::txEmptyAndReceive(const std::vector<uint8_t>& bytes)
{
    engine.lineTxEmpty();
    receive(bytes);
}

void ScriptedLine::advance(int64_t ms) { nowMs_ += ms; }

void ScriptedLine::tick() { runTick(engine); }

void ScriptedLine::runTicks(int64_t ms)
{
    for (int64_t passed = 0; passed < ms; passed += 500) {
        advance(500);
        tick();
    }
}

void ScriptedLine::stop() { engine.io.setRunning(false); }

std::string ScriptedLine::line(int32_t control) const
{
    return control == kPhaseLine ? phaseText_ : adviceText_;
}

std::vector<SentFrame> ScriptedLine::takeFrames()
{
    std::vector<SentFrame> fresh(frames.begin() + static_cast<long>(taken_), frames.end());
    taken_ = frames.size();
    return fresh;
}

void ScriptedLine::onWrite(const uint8_t* bytes, uint32_t length)
{
    frames.push_back({std::vector<uint8_t>(bytes, bytes + length), speed_, nowMs_});
}

void ScriptedLine::onSpeed(uint32_t baud)
{
    speed_ = baud;
    speedChanges.push_back(baud);
}

void ScriptedLine::onPause(int32_t ms)
{
    waits.push_back(ms);
    nowMs_ += ms;
}

ClockMark ScriptedLine::clockNow() const
{
    return ClockMark{static_cast<int32_t>(nowMs_ / 1000), static_cast<uint16_t>(nowMs_ % 1000)};
}
