// The reader hands the engine whatever the port had ready: one byte, a whole answer, or two
// answers and a half. Whatever the pieces, the engine must do the same. A randomly misbehaving
// handset (handset_stream.h) answers one download while its byte stream is recorded; the
// stream is then replayed cut differently, straight into the frame I/O and through the real
// reader thread, and must give the same frames at the same times and speeds, the same texts
// and the same result.
//
// What may not move: transmit-empty, ticks and Continue keep their places in the stream.
// Bytes that arrive before a frame's transmit-empty are drained by design, so moving them
// across it would rightly change what the engine does; only the cutting of the bytes
// between two such events varies (and whether the first piece after a transmit-empty comes
// in the same reader event).
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "handset_stream.h"
#include "transport/frame_io.h"
#include "transport/reader.h"

namespace {

using namespace handset;

// One event as the reader meets it: the port reports transmit-empty and/or bytes; or, between
// port events, the front end ticks or the operator presses Continue.
struct PortEvent {
    enum Kind { Port, Tick, Continue } kind;
    bool txEmpty = false;
    std::vector<uint8_t> bytes;
    int32_t ms = 0;
};

enum class Cut { OneByte, Whole, Random, RandomWithTxEmpty };

// The stream with the bytes between two other events joined and cut again.
std::vector<PortEvent> cutStream(const Stream& stream, Cut cut, std::mt19937& rng)
{
    std::vector<PortEvent> out;
    for (size_t i = 0; i < stream.size();) {
        const Event& e = stream[i];
        if (e.kind == Event::Tick || e.kind == Event::Continue) {
            out.push_back({e.kind == Event::Tick ? PortEvent::Tick : PortEvent::Continue, false,
                           {}, e.ms});
            ++i;
            continue;
        }
        const bool txFirst = e.kind == Event::TxEmpty;
        if (txFirst)
            ++i;
        std::vector<uint8_t> bytes;
        for (; i < stream.size() && stream[i].kind == Event::Bytes; ++i)
            bytes.insert(bytes.end(), stream[i].bytes.begin(), stream[i].bytes.end());

        const bool together = cut == Cut::RandomWithTxEmpty && !(txFirst && e.switchesSpeed);
        if (txFirst && (!together || bytes.empty()))
            out.push_back({PortEvent::Port, true, {}, 0});
        for (size_t at = 0; at < bytes.size();) {
            size_t n = bytes.size() - at;
            if (cut == Cut::OneByte)
                n = 1;
            else if (cut != Cut::Whole)
                n = std::uniform_int_distribution<size_t>(1, n)(rng);
            const bool withTx = txFirst && together && at == 0;
            out.push_back({PortEvent::Port, withTx,
                           {bytes.begin() + static_cast<long>(at),
                            bytes.begin() + static_cast<long>(at + n)},
                           0});
            at += n;
        }
    }
    return out;
}

// Straight into the frame I/O, as the reader would call it.
std::vector<std::string> replay(const Scenario& s, const std::vector<PortEvent>& events)
{
    ScriptedLine line;
    Engine& engine = line.engine;
    start(engine, s);
    for (const PortEvent& e : events) {
        if (e.kind == PortEvent::Tick)
            apply(line, Event{Event::Tick, {}, e.ms});
        else if (e.kind == PortEvent::Continue)
            pressContinue(engine);
        else if (e.txEmpty)
            line.txEmptyAndReceive(e.bytes);
        else
            line.receive(e.bytes);
    }
    return observed(line);
}

// A port that plays the events to the real reader thread: each wait returns the next one.
// Ticks and Continue run inside the wait, on the reader thread, so that they keep their
// places between the port events. Writes, speeds and purges go to the scripted line.
namespace played {

const Scenario* scenario = nullptr;
const std::vector<PortEvent>* events = nullptr;
size_t next = 0;
bool begun = false;
std::vector<uint8_t> waiting;
// The end of the events, told to the test thread; and the reader's stop releasing of the last wait.
std::mutex mutex;
std::condition_variable changed;
bool finished = false;
bool released = false;

int token;
SerialPort* const port = reinterpret_cast<SerialPort*>(&token);

bool write(SerialPort*, const uint8_t* bytes, uint32_t length)
{
    ScriptedLine::current->onWrite(bytes, length);
    return true;
}
void setEventMask(SerialPort*, uint32_t mask)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (finished && mask == 0) {
        released = true;
        changed.notify_all();
    }
}
bool waitEvent(SerialPort*, uint32_t* mask)
{
    *mask = 0;
    if (!begun) {
        begun = true;
        // The first state, on this thread like everything after it.
        start(ScriptedLine::current->engine, *scenario);
        return true;
    }
    if (next == events->size()) {
        std::unique_lock<std::mutex> lock(mutex);
        finished = true;
        changed.notify_all();
        changed.wait(lock, [] { return released; });
        return true;
    }
    const PortEvent& e = (*events)[next++];
    if (e.kind == PortEvent::Tick) {
        Engine& engine = ScriptedLine::current->engine;
        ScriptedLine::current->advance(e.ms);
        runTick(engine);
    } else if (e.kind == PortEvent::Continue) {
        Engine& engine = ScriptedLine::current->engine;
        pressContinue(engine);
    } else {
        waiting.insert(waiting.end(), e.bytes.begin(), e.bytes.end());
        *mask = (e.txEmpty ? kEventTxEmpty : 0) | (e.bytes.empty() ? 0 : kEventRxChar);
    }
    return true;
}
int32_t bytesWaiting(SerialPort*) { return static_cast<int32_t>(waiting.size()); }
int32_t read(SerialPort*, uint8_t* buffer, uint32_t length)
{
    const uint32_t n = std::min<uint32_t>(length, static_cast<uint32_t>(waiting.size()));
    std::copy(waiting.begin(), waiting.begin() + n, buffer);
    waiting.erase(waiting.begin(), waiting.begin() + n);
    return static_cast<int32_t>(n);
}
void purge(SerialPort*)
{
    waiting.clear();
    std::lock_guard<std::mutex> lock(mutex);
    if (!released)  // the reader's own purge when it ends is no part of the download
        ScriptedLine::current->purges++;
}
void setSpeed(SerialPort*, uint32_t baud) { ScriptedLine::current->onSpeed(baud); }
void close(SerialPort*) {}

const SerialPortOps ops = {write, setEventMask, waitEvent, bytesWaiting,
                           read,  purge,        setSpeed,  close};

}  // namespace played

std::vector<std::string> replayThroughReader(const Scenario& s,
                                             const std::vector<PortEvent>& events)
{
    ScriptedLine line;
    Engine& engine = line.engine;
    played::scenario = &s;
    played::events = &events;
    played::next = 0;
    played::begun = false;
    played::waiting.clear();
    played::finished = false;
    played::released = false;
    EXPECT_TRUE(engine.reader.start(&played::ops, played::port));
    {
        std::unique_lock<std::mutex> lock(played::mutex);
        played::changed.wait(lock, [] { return played::finished; });
    }
    engine.reader.stop();
    engine.reader.join();
    return observed(line);
}

std::string firstDifference(const std::vector<std::string>& a, const std::vector<std::string>& b)
{
    for (size_t i = 0; i < a.size() && i < b.size(); ++i)
        if (a[i] != b[i])
            return "at " + std::to_string(i) + ":\n  " + a[i] + "\n  " + b[i];
    return "lengths " + std::to_string(a.size()) + " and " + std::to_string(b.size());
}

struct Recording {
    Scenario scenario;
    Stream stream;
    std::vector<std::string> observed;
    int32_t result;  // -1: none posted
};

Recording record(std::mt19937& rng)
{
    Recording r;
    r.scenario = makeScenario(rng);
    ScriptedLine line;
    Engine& engine = line.engine;
    start(engine, r.scenario);
    r.stream = Handset(rng, r.scenario).run(line);
    r.observed = observed(line);
    r.result = line.results.empty() ? -1 : line.results[0];
    return r;
}

TEST(Chunking, AnyCuttingOfTheSameStreamGivesTheSameDownload)
{
    int completed = 0, ended = 0;
    for (uint32_t seed = 1; seed <= 300; ++seed) {
        std::mt19937 rng(seed);
        const Recording r = record(rng);
        ended += r.result >= 0;
        completed += r.result == kResultCompleted;
        for (Cut cut : {Cut::OneByte, Cut::Whole, Cut::Random, Cut::RandomWithTxEmpty}) {
            const auto got = replay(r.scenario, cutStream(r.stream, cut, rng));
            ASSERT_TRUE(got == r.observed) << "seed " << seed << ", cut " << int(cut) << ", "
                                           << firstDifference(got, r.observed);
        }
    }
    // The handset must not be so bad that the streams never reach the later phases.
    EXPECT_GT(completed, 100);
    EXPECT_GT(ended, 250);
}

// The same through the reader thread, which reads at most 100 bytes at a time and runs
// transmit-empty before the bytes of the same event.
TEST(Chunking, TheReaderDeliversAnyCuttingAsTheEngineNeedsIt)
{
    for (uint32_t seed = 1001; seed <= 1040; ++seed) {
        std::mt19937 rng(seed);
        const Recording r = record(rng);
        for (Cut cut : {Cut::Whole, Cut::Random, Cut::RandomWithTxEmpty}) {
            const auto got = replayThroughReader(r.scenario, cutStream(r.stream, cut, rng));
            ASSERT_TRUE(got == r.observed) << "seed " << seed << ", cut " << int(cut) << ", "
                                           << firstDifference(got, r.observed);
        }
    }
}

}  // namespace
