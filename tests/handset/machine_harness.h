// Drives the handset's protocol machine as a host would, on made-up time: frames go in at the
// host's line speed, answers come out with the times the pty loop would write them.
#ifndef TARVOLO_TESTS_HANDSET_MACHINE_HARNESS_H
#define TARVOLO_TESTS_HANDSET_MACHINE_HARNESS_H

#include <memory>
#include <string>
#include <vector>

#include "handset/flash.h"
#include "handset/machine.h"

using Bytes = std::vector<uint8_t>;

struct HostSide {
    HandsetOptions options;
    std::unique_ptr<HandsetMachine> machine;
    int64_t now = 0;
    uint32_t speed = 19200;
    std::vector<Transmission> sent;   // everything the handset sent, in order

    HandsetMachine& m()
    {
        if (!machine)
            machine = std::make_unique<HandsetMachine>(options);
        return *machine;
    }
    void send(const Bytes& frame) { m().receive(frame.data(), frame.size(), now, speed); }
    // Moves time on in steps of 100 microseconds, polling like the pty loop.
    void run(int64_t us)
    {
        const int64_t end = now + us;
        while (now < end) {
            now = std::min(end, now + 100);
            for (Transmission& t : m().poll(now, speed))
                sent.push_back(std::move(t));
        }
    }
    // The bytes sent since the last call.
    Bytes take()
    {
        Bytes all;
        for (const Transmission& t : sent)
            all.insert(all.end(), t.bytes.begin(), t.bytes.end());
        sent.clear();
        return all;
    }
    Bytes exchange(const Bytes& frame, int64_t us = 20000)
    {
        send(frame);
        run(us);
        return take();
    }
    // Inquiry and parameter exchange at `code`, the host switching 10 ms after its request.
    Bytes connect(uint8_t code = '0')
    {
        exchange({'<', 'i'});
        send({'<', 'p', code, 0xFF});
        run(10000);
        speed = speedOfCode(code);
        run(40000);
        return take();
    }
    bool violated(const std::string& text)
    {
        for (const Violation& v : m().report().violations)
            if (v.what.find(text) != std::string::npos)
                return true;
        return false;
    }
};

inline Bytes str(const std::string& text) { return Bytes(text.begin(), text.end()); }

inline Bytes writeFrame(uint16_t number, const Bytes& payload)
{
    Bytes frame = {'<', 'w', static_cast<uint8_t>(number >> 8), static_cast<uint8_t>(number)};
    frame.insert(frame.end(), payload.begin(), payload.end());
    return frame;
}

inline Bytes checksumFrame(uint16_t value)
{
    return {'<', 'c', static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
}

inline uint16_t hostChecksum(bool crc, const std::vector<Bytes>& blocks)
{
    ImageChecksum sum(crc);
    for (const Bytes& b : blocks)
        sum.add(b.data(), static_cast<uint32_t>(b.size()));
    return sum.value();
}

#endif
