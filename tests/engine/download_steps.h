// Steps of a scripted download shared by the phase tests: the handset's answers, an
// independent decoder of write frames and independent checksums to compare against.
#ifndef TARVOLO_TESTS_ENGINE_DOWNLOAD_STEPS_H
#define TARVOLO_TESTS_ENGINE_DOWNLOAD_STEPS_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "engine/engine_kit.h"
#include "engine/handlers.h"
#include "tests/support/scripted_line.h"

namespace steps {

const std::string kWaitingSingle =
    "\nConnect the mobile to the serial cable and power it up.\r\nCheck the LED is on and "
    "'FLASH LOADER' is displayed.\r\nPower-cycle it if necessary, or select 'Abort' to quit\r\n";
const std::string kWaitingGang =
    "\nConnect a mobile to CH1. \r\nCheck the LED is on and 'Signalling' is displayed.\r\n"
    "Disconnect and reconnect it if necessary, or select 'Abort' to quit\r\n";
const std::string kMultipleTimeouts =
    "\nMultiple timeouts have occurred, waiting for a mobile response\r\nCheck that the cable "
    "is still attached.\r\nIf download doesn't continue, select 'Abort'\r\n";

inline std::vector<uint8_t> frameOf(const std::string& s, const std::vector<uint8_t>& tail = {})
{
    std::vector<uint8_t> bytes = bytesOf(s);
    bytes.insert(bytes.end(), tail.begin(), tail.end());
    return bytes;
}

// initEngine as the download dialog does, then the first state.
inline void begin(Engine& engine, int32_t mode, int32_t chosenSpeed, int32_t gang)
{
    {
        EngineLock lock(engine);
        initEngine(engine, mode, 19200, chosenSpeed, gang);
    }
    beginDownload(engine);
}

// Single mode from the start to the parameter request on its way.
inline void toExchange(ScriptedLine& line, int32_t mode = kModeEraseAndDownload,
                       int32_t speed = 115200)
{
    begin(line.engine, mode, speed, 0);
    line.txEmpty();
    line.receive(">i");
}

// The request has left the line; the handset sends '>p' and the record.
inline void giveRecord(ScriptedLine& line, const std::vector<uint8_t>& record)
{
    line.txEmpty();
    line.receive(">p");
    line.receive(record);
}

// Erase-and-download mode, single, from the start to the first write frame on its way.
inline void toFirstBlock(ScriptedLine& line, const std::vector<uint8_t>& record,
                         int32_t mode = kModeEraseAndDownload, int32_t speed = 115200)
{
    toExchange(line, mode, speed);
    giveRecord(line, record);
    if (mode == kModeEraseAndDownload) {
        line.txEmpty();
        line.receive(">e");
    }
}

// The abort frame is on its way and the handset never answers: it goes twice, then the
// download ends.
inline void abortUnanswered(ScriptedLine& line)
{
    line.txEmpty();
    line.runTicks(10000);
    line.txEmpty();
    line.runTicks(10000);
}

inline bool isWriteFrame(const SentFrame& f)
{
    return f.bytes.size() >= 4 && f.bytes[0] == '<' && f.bytes[1] == 'w';
}

inline uint16_t frameNumber(const SentFrame& f)
{
    return static_cast<uint16_t>(f.bytes[2] << 8 | f.bytes[3]);
}

// Expands a write payload by its three token forms (or takes it raw when escape is 0xFF).
inline std::vector<uint8_t> decodePayload(const std::vector<uint8_t>& frame, uint8_t escape)
{
    std::vector<uint8_t> out;
    if (escape == 0xFF)
        return std::vector<uint8_t>(frame.begin() + 4, frame.end());
    for (size_t i = 4; i < frame.size();) {
        if (frame[i] != escape) {
            out.push_back(frame[i++]);
        } else if (i + 1 < frame.size() && frame[i + 1] == escape) {
            out.push_back(escape);
            i += 2;
        } else if (i + 2 < frame.size()) {
            out.insert(out.end(), frame[i + 2], frame[i + 1]);
            i += 3;
        } else {
            break;  // malformed; the comparison will show it
        }
    }
    return out;
}

// Acknowledges every write frame with its own number; returns what the handset would have
// written, by block number.
inline std::map<uint16_t, std::vector<uint8_t>> ackAll(ScriptedLine& line, uint8_t escape)
{
    std::map<uint16_t, std::vector<uint8_t>> written;
    while (!line.frames.empty() && isWriteFrame(line.frames.back())) {
        const SentFrame f = line.frames.back();
        written[frameNumber(f)] = decodePayload(f.bytes, escape);
        line.txEmpty();
        line.receive(frameOf(">w", {f.bytes[2], f.bytes[3]}));
    }
    return written;
}

inline uint16_t crcX25(const std::vector<uint8_t>& bytes)
{
    uint16_t crc = 0xFFFF;
    for (uint8_t b : bytes) {
        crc ^= b;
        for (int i = 0; i < 8; ++i)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0x8408) : crc >> 1;
    }
    return static_cast<uint16_t>(~crc);
}

inline uint16_t byteSum(const std::vector<uint8_t>& bytes)
{
    uint32_t sum = 0;
    for (uint8_t b : bytes)
        sum += b;
    return static_cast<uint16_t>(sum);
}

// Blocks of a test image: varied data, so that raw and encoded frames differ.
inline std::vector<uint8_t> dataBlock(size_t size, uint32_t seed)
{
    std::vector<uint8_t> block(size);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        block[i] = static_cast<uint8_t>(x >> 16);
    }
    // A long run, some escape bytes and a short run.
    for (size_t i = size / 4; i < size / 2; ++i)
        block[i] = 0x41;
    if (size > 8) {
        block[1] = 0x00;
        block[2] = 0x00;
        block[size - 3] = 0x42;
        block[size - 2] = 0x42;
    }
    return block;
}

inline std::vector<uint8_t> blankBlock(size_t size) { return std::vector<uint8_t>(size, 0xFF); }

}  // namespace steps

#endif
