// The reader thread on a real pseudo-terminal: how received bytes reach the armed receives,
// and transmit-empty.
#include <gtest/gtest.h>

#include <termios.h>

#include <chrono>
#include <thread>

#include "engine/engine_state.h"
#include "engine/handler_slots.h"
#include "tests/transport/pty_line.h"
#include "transport/frame_io.h"
#include "transport/line_speed.h"
#include "transport/port_open.h"
#include "transport/reader.h"

namespace {

// What the handlers saw. Written and read under the engine lock.
struct Seen {
    std::vector<uint8_t> bytes;
    std::vector<uint32_t> completionSizes;
    int txEmpty = 0;
    bool pairTaken = false;
    int waitsAtLastByte = 0;
} seen;
uint8_t cell;
uint8_t pair[2];
uint8_t buffer[400];

// A one-byte receive whose handler arms nothing: runs once per byte.
void takeCell(Engine&)
{
    seen.bytes.push_back(cell);
    seen.waitsAtLastByte = calls.waits.load();
}

// Two bytes first, then one byte at a time.
void takePairThenCells(Engine& engine)
{
    if (!seen.pairTaken) {
        seen.pairTaken = true;
        seen.bytes.insert(seen.bytes.end(), pair, pair + 2);
        seen.completionSizes.push_back(2);
    } else {
        seen.bytes.push_back(cell);
        seen.completionSizes.push_back(1);
    }
    engine.io.armReceive(&cell, 1);
}

void countTxEmpty(Engine&) { ++seen.txEmpty; }

class ReaderOnPty : public ::testing::Test {
protected:
    void SetUp() override
    {
        clearHandlerSlots(engine);
        calls.reset();
        EngineLock lock(engine);
        seen = Seen();
    }
    void TearDown() override
    {
        engine.reader.stop();
        engine.reader.join();
        engine.io.setRunning(false);
    }
    SerialPort* openPort()
    {
        std::string error;
        SerialPort* port = openSerialPort(pty.slavePath().c_str(), &error);
        EXPECT_NE(port, nullptr) << error;
        return port;
    }
    // Arms before the reader exists, so that bytes sent now are all waiting at its first event.
    void armBeforeStart(Handler handler, uint8_t* destination, uint32_t count)
    {
        EngineLock lock(engine);
        engine.io.setRunning(true);
        engine.slots.onRxComplete = handler;
        engine.io.armReceive(destination, count);
    }
    PtyLine pty;
    Engine engine;  // each test its own; ends (and joins its reader) before the pty goes
};

TEST_F(ReaderOnPty, DeliversMoreThanOneBufferWaitingAtOneEventInOrder)
{
    SerialPort* port = openPort();
    armBeforeStart(takeCell, &cell, 1);
    const std::vector<uint8_t> sent = pattern(333, 5);
    pty.send(sent);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    ASSERT_TRUE(engine.reader.start(countingOps(), port));
    EXPECT_TRUE(waitUntil(engine, [&] { return seen.bytes.size() >= sent.size(); }, 3000));
    EngineLock lock(engine);
    EXPECT_EQ(seen.bytes, sent);
    EXPECT_GE(calls.mostWaiting.load(), 333);
    EXPECT_EQ(seen.waitsAtLastByte, 1);   // all of them before the reader waited again
}

TEST_F(ReaderOnPty, OneReadCompletesSeveralReceivesInByteOrder)
{
    SerialPort* port = openPort();
    armBeforeStart(takePairThenCells, pair, 2);
    pty.send({'a', 'b', 'c', 'd', 'e'});
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    ASSERT_TRUE(engine.reader.start(countingOps(), port));
    EXPECT_TRUE(waitUntil(engine, [&] { return seen.bytes.size() >= 5; }, 3000));
    EngineLock lock(engine);
    EXPECT_EQ(seen.bytes, (std::vector<uint8_t>{'a', 'b', 'c', 'd', 'e'}));
    EXPECT_EQ(seen.completionSizes, (std::vector<uint32_t>{2, 1, 1, 1}));
}

// Bytes with nowhere to go are consumed and dropped: the reader neither crashes nor keeps
// waking up for them, and later receives work.
TEST_F(ReaderOnPty, BytesWithNothingArmedOrAnEmptySlotAreDroppedWithoutLooping)
{
    SerialPort* port = openPort();
    ASSERT_TRUE(engine.reader.start(countingOps(), port));
    pty.send(pattern(250, 1));   // nothing armed at all
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    {
        EngineLock lock(engine);
        engine.io.armReceive(buffer, 4);   // armed, but the slot is empty
    }
    pty.send({'1', '2', '3', '4', '5', '6'});
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const int waitsBefore = calls.waits.load();
    const double cpuBefore = processCpuMs();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_LT(calls.waits.load() - waitsBefore, 5);
    EXPECT_LT(processCpuMs() - cpuBefore, 60.0);
    {
        EngineLock lock(engine);
        EXPECT_EQ(std::string(buffer, buffer + 4), "1234");
        engine.slots.onRxComplete = takeCell;
        engine.io.armReceive(&cell, 1);
    }
    pty.send({'!'});
    EXPECT_TRUE(waitUntil(engine, [&] { return seen.bytes == std::vector<uint8_t>{'!'}; }, 3000));
}

// The frame goes out at once although the reader is waiting on the same port, transmit-empty
// follows once, and by then the far end has every byte.
TEST_F(ReaderOnPty, WriteIsNotHeldByTheWaitAndTxEmptyFollowsTheBytes)
{
    static const std::vector<uint8_t> frame = pattern(1000, 9);
    SerialPort* port = openPort();
    ASSERT_TRUE(engine.reader.start(countingOps(), port));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));   // the reader is waiting now
    const auto start = std::chrono::steady_clock::now();
    {
        EngineLock lock(engine);
        engine.slots.onTxEmpty = countTxEmpty;
        engine.io.sendFrame(frame.data(), static_cast<uint32_t>(frame.size()));
    }
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::milliseconds(100));
    EXPECT_TRUE(waitUntil(engine, [&] { return seen.txEmpty == 1; }, 3000));
    EXPECT_EQ(pty.receive(frame.size(), 0), frame);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EngineLock lock(engine);
    EXPECT_EQ(seen.txEmpty, 1);   // reported once per frame
}

TEST_F(ReaderOnPty, OpensWithStandardSettingsAndSwitchesSpeedOnlyWhileRunning)
{
    SerialPort* port = openPort();
    termios settings;   // the standard settings: 19200 8N1, raw, no flow control
    ASSERT_EQ(tcgetattr(pty.master(), &settings), 0);
    EXPECT_EQ(cfgetospeed(&settings), B19200);
    EXPECT_EQ(settings.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CS8));
    EXPECT_EQ(settings.c_iflag & (IXON | IXOFF), 0u);
    EXPECT_EQ(settings.c_lflag & (ICANON | ECHO), 0u);
    ASSERT_TRUE(engine.reader.start(countingOps(), port));
    {
        EngineLock lock(engine);
        switchLineSpeed(engine.io, 57600);
    }
    EXPECT_EQ(pty.slaveSpeed(), 57600u);
    {
        EngineLock lock(engine);
        switchLineSpeed(engine.io, 9600);
    }
    EXPECT_EQ(pty.slaveSpeed(), 19200u);
    // The line still works after the switch.
    {
        EngineLock lock(engine);
        engine.slots.onRxComplete = takeCell;
        engine.io.armReceive(&cell, 1);
    }
    pty.send({'k'});
    EXPECT_TRUE(waitUntil(engine, [&] { return seen.bytes.size() == 1; }, 3000));
    engine.reader.stop();
    engine.reader.join();
    EngineLock lock(engine);
    switchLineSpeed(engine.io, 115200);
    engine.io.sendFrame(buffer, 4);
    EXPECT_EQ(calls.closes.load(), 1);
}

}  // namespace
