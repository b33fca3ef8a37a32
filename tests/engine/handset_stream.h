// A misbehaving handset for the chunking tests: it answers one download on the scripted line
// (noise, refusals, wrong numbers, silences, bad records and checksums, at random) and
// records everything that reached the engine as a stream of events, which the tests then
// replay cut in other ways.
#ifndef TARVOLO_TESTS_ENGINE_HANDSET_STREAM_H
#define TARVOLO_TESTS_ENGINE_HANDSET_STREAM_H

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "download_steps.h"

namespace handset {

struct Event {
    enum Kind { TxEmpty, Bytes, Tick, Continue } kind;
    std::vector<uint8_t> bytes;  // Bytes
    int32_t ms = 0;              // Tick: the clock moves this far, then onTick runs
    // TxEmpty of the parameter request: its handler switches the line speed, which empties
    // the port's queue, so bytes reported in the same port event are lost by design.
    bool switchesSpeed = false;
};
using Stream = std::vector<Event>;

struct Scenario {
    int32_t mode;
    int32_t gang;
    int32_t speed;
    char protocol;
    int32_t blockSize;
    uint8_t blank;
    std::vector<uint8_t> image;
};

inline void apply(ScriptedLine& line, const Event& e)
{
    switch (e.kind) {
    case Event::TxEmpty: line.txEmpty(); break;
    case Event::Bytes: line.receive(e.bytes); break;
    case Event::Tick:
        line.advance(e.ms);
        line.tick();
        break;
    case Event::Continue: pressContinue(line.engine); break;
    }
}

inline void start(Engine& engine, const Scenario& s)
{
    loadReleaseFile(engine, "KM52", s.image);
    steps::begin(engine, s.mode, s.speed, s.gang);
}

// Everything the engine did that someone outside it could see, one line per observation.
inline std::vector<std::string> observed(const ScriptedLine& line)
{
    std::vector<std::string> out;
    for (const SentFrame& f : line.frames) {
        std::ostringstream o;
        o << "frame @" << f.atMs << " " << f.speed << ":";
        for (uint8_t b : f.bytes)
            o << " " << int(b);
        out.push_back(o.str());
    }
    for (const StatusEvent& e : line.events)
        out.push_back("event " + std::to_string(e.kind) + " " + std::to_string(e.control) + " " +
                      std::to_string(e.value) + " " + e.text);
    for (int32_t w : line.waits)
        out.push_back("wait " + std::to_string(w));
    for (uint32_t s : line.speedChanges)
        out.push_back("speed " + std::to_string(s));
    out.push_back("purges " + std::to_string(line.purges));
    out.push_back("clock " + std::to_string(line.now()));
    return out;
}

inline Scenario makeScenario(std::mt19937& rng)
{
    auto pick = [&rng](auto... values) {
        const std::vector<std::common_type_t<decltype(values)...>> v{values...};
        return v[std::uniform_int_distribution<size_t>(0, v.size() - 1)(rng)];
    };
    Scenario s;
    s.mode = pick(0, 0, 1, 1, 2);
    s.gang = pick(0, 1);
    s.speed = pick(19200, 38400, 57600, 115200);
    s.protocol = s.mode == 0 ? pick('0', '1') : '1';
    s.blockSize = pick(1, 3, 16, 64, 100);
    s.blank = pick(uint8_t{0xFF}, uint8_t{0x00}, uint8_t{0x41});
    const int blocks = std::uniform_int_distribution<int>(0, s.blockSize == 1 ? 40 : 6)(rng);
    for (int b = 0; b < blocks; ++b) {
        const int kind = std::uniform_int_distribution<int>(0, 3)(rng);
        for (int i = 0; i < s.blockSize; ++i) {
            const uint8_t v = static_cast<uint8_t>(rng());
            s.image.push_back(kind == 0 ? 0xFF : kind == 1 ? s.blank : kind == 2 ? v & 0x41 : v);
        }
    }
    const int tail = std::uniform_int_distribution<int>(0, s.blockSize - 1)(rng);
    s.image.insert(s.image.end(), static_cast<size_t>(tail), 0x5A);
    return s;
}

// A handset that answers what the engine sends, badly at times, recording the stream.
class Handset {
public:
    Handset(std::mt19937& rng, const Scenario& s) : rng_(rng), s_(s) {}

    Stream run(ScriptedLine& line)
    {
        line_ = &line;
        for (int step = 0; step < 400 && line.results.empty(); ++step) {
            const std::vector<SentFrame> fresh = line.takeFrames();
            if (fresh.empty()) {
                idle();
                continue;
            }
            if (chance(0.1) && fresh.back().bytes[1] != 'p')
                emit(Event{Event::Bytes, noise(), 0});  // while the frame is on its way
            emit(Event{Event::TxEmpty, {}, 0, fresh.back().bytes[1] == 'p'});
            answer(fresh.back().bytes);
        }
        return stream_;
    }

private:
    bool chance(double p) { return std::bernoulli_distribution(p)(rng_); }

    void emit(const Event& e)
    {
        stream_.push_back(e);
        apply(*line_, e);
    }

    void send(const std::vector<uint8_t>& bytes)
    {
        if (chance(0.2))
            emit(Event{Event::Bytes, noise(), 0});
        emit(Event{Event::Bytes, bytes, 0});
    }
    void send(const std::string& s, const std::vector<uint8_t>& tail = {})
    {
        send(steps::frameOf(s, tail));
    }

    // Bytes that form no answer: no '>' among them.
    std::vector<uint8_t> noise()
    {
        static const uint8_t pool[] = {0x00, 0xFF, 'x', 'i', 'w', 'p', '<', 'S', 0x3F};
        std::vector<uint8_t> out(std::uniform_int_distribution<size_t>(1, 6)(rng_));
        for (uint8_t& b : out)
            b = pool[rng_() % sizeof pool];
        return out;
    }

    // Nothing new on the line: the operator may press Continue, otherwise time passes.
    void idle()
    {
        if (line_->continueEnabled && chance(0.5)) {
            emit(Event{Event::Continue, {}, 0});
            return;
        }
        emit(Event{Event::Tick, {}, 500 * std::uniform_int_distribution<int32_t>(1, 8)(rng_)});
    }

    std::vector<uint8_t> record()
    {
        if (chance(0.05))
            return parameterRecord("KM21", s_.protocol, s_.blockSize, s_.blank);
        if (chance(0.05))
            return parameterRecord("KM52", s_.protocol, s_.blockSize, s_.blank, "DOWNLd");
        return parameterRecord("KM52", s_.protocol, s_.blockSize, s_.blank);
    }

    void answer(const std::vector<uint8_t>& frame)
    {
        std::vector<uint8_t> number;  // block number or checksum, as the frame has it
        if (frame.size() >= 4)
            number = {frame[2], frame[3]};
        switch (frame[1]) {
        case 'i':
            if (chance(0.6))
                send(">i");
            if (line_->continueEnabled && chance(0.2))
                emit(Event{Event::Continue, {}, 0});
            else if (line_->continueEnabled && chance(0.05))
                emit(Event{Event::Tick, {}, 1500});  // falls silent: back to waiting
            break;
        case 'p':
            if (chance(0.15))
                break;  // silence: the exchange times out
            if (chance(0.1))
                send(">i");
            send(">p", record());
            break;
        case 'e':
            if (chance(0.15))
                send(">E");
            else if (!chance(0.1))
                send(">e");
            break;
        case 'w':
            if (chance(0.1))
                send(">W", {static_cast<uint8_t>(rng_())});
            else if (chance(0.1))
                send(">w", {number[0], static_cast<uint8_t>(number[1] + 1)});
            else if (!chance(0.1))
                send(chance(0.05) ? ">S>w" : ">w", number);
            break;
        case 'c':
            if (chance(0.05))
                send(">C");
            else if (chance(0.1))
                send(">c", {static_cast<uint8_t>(number[0] ^ 1), number[1]});
            else if (!chance(0.1))
                send(">c", number);
            break;
        case 'a':
            if (chance(0.7))
                send(">a");
            break;
        default: break;
        }
    }

    std::mt19937& rng_;
    const Scenario& s_;
    ScriptedLine* line_ = nullptr;
    Stream stream_;
};

}  // namespace handset

#endif
