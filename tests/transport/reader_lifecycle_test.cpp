// The reader thread's start and stop, the POSIX port's own contracts, and the failures a
// user can meet: a port that did not open, a far end that went away, a port already in use.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "engine/engine_state.h"
#include "engine/handler_slots.h"
#include "tests/transport/pty_line.h"
#include "transport/frame_io.h"
#include "transport/port_open.h"
#include "transport/reader.h"

namespace {

using Clock = std::chrono::steady_clock;

long msSince(Clock::time_point start)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// A handler that blocks the reader thread the way a synchronous output to the front end does
// (engine lock released while it waits), until the test opens the gate.
struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false;
    bool open = false;
} gate;
uint8_t cell;

void blockUntilGateOpens(Engine& engine)
{
    EngineUnlock unlocked(engine);
    std::unique_lock<std::mutex> lock(gate.mutex);
    gate.entered = true;
    gate.changed.notify_all();
    gate.changed.wait(lock, [] { return gate.open; });
}

class ReaderLifecycle : public ::testing::Test {
protected:
    void SetUp() override
    {
        clearHandlerSlots(engine);
        calls.reset();
        std::lock_guard<std::mutex> lock(gate.mutex);
        gate.entered = false;
        gate.open = false;
    }
    void TearDown() override
    {
        engine.reader.stop();
        engine.reader.join();
    }
    SerialPort* openPort()
    {
        std::string error;
        SerialPort* port = openSerialPort(pty.slavePath().c_str(), &error);
        EXPECT_NE(port, nullptr) << error;
        return port;
    }
    PtyLine pty;
    Engine engine;  // each test its own; ends (and joins its reader) before the pty goes
};

TEST_F(ReaderLifecycle, StopReturnsAtOnceWhileAHandlerBlocksAndThePortClosesOnceAfterwards)
{
    ASSERT_TRUE(engine.reader.start(countingOps(), openPort()));
    {
        EngineLock lock(engine);
        engine.slots.onRxComplete = blockUntilGateOpens;
        engine.io.armReceive(&cell, 1);
    }
    pty.send({'>'});
    {
        std::unique_lock<std::mutex> lock(gate.mutex);
        ASSERT_TRUE(gate.changed.wait_for(lock, std::chrono::seconds(3), [] { return gate.entered; }));
    }
    const auto start = Clock::now();
    engine.reader.stop();
    EXPECT_LT(msSince(start), 100);
    EXPECT_FALSE(engine.io.running());
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(calls.closes.load(), 0);   // the reader is still using the port
    {
        std::lock_guard<std::mutex> lock(gate.mutex);
        gate.open = true;
        gate.changed.notify_all();
    }
    engine.reader.join();
    EXPECT_EQ(calls.closes.load(), 1);
    engine.reader.stop();   // a second stop is harmless
    engine.reader.join();
    EXPECT_EQ(calls.closes.load(), 1);
}

TEST_F(ReaderLifecycle, APortThatFailedToOpenNeitherSpinsNorWrites)
{
    ASSERT_TRUE(engine.reader.start(countingOps(), nullptr));
    EXPECT_TRUE(engine.io.running());
    const double cpuBefore = processCpuMs();
    {
        EngineLock lock(engine);
        const uint8_t frame[] = {'<', 'i'};
        engine.io.sendFrame(frame, 2);
        engine.io.armReceive(&cell, 1);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_LT(processCpuMs() - cpuBefore, 50.0);
    const auto start = Clock::now();
    engine.reader.stop();
    engine.reader.join();
    EXPECT_LT(msSince(start), 200);
    EXPECT_EQ(calls.closes.load(), 0);
}

// The far end closing makes every wait fail at once; the reader backs off instead of
// spinning, writes fail instead of hanging, and the stop still works.
TEST_F(ReaderLifecycle, AFarEndThatWentAwayDoesNotKeepTheReaderSpinning)
{
    ASSERT_TRUE(engine.reader.start(countingOps(), openPort()));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    pty.closeMaster();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    const int waitsBefore = calls.waits.load();
    const double cpuBefore = processCpuMs();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const double cpuMs = processCpuMs() - cpuBefore;
    const int waits = calls.waits.load() - waitsBefore;
    EXPECT_LT(cpuMs, 60.0);
    EXPECT_LT(waits, 40);
    std::printf("far end gone: %d waits, %.1f ms CPU in 300 ms\n", waits, cpuMs);
    const auto start = Clock::now();
    {
        EngineLock lock(engine);
        const uint8_t frame[] = {'<', 'i'};
        engine.io.sendFrame(frame, 2);
    }
    EXPECT_LT(msSince(start), 100);
    engine.reader.stop();
    engine.reader.join();
    EXPECT_LT(msSince(start), 300);
    EXPECT_EQ(calls.closes.load(), 1);
}

TEST_F(ReaderLifecycle, StartingAgainStopsTheEarlierReaderAndUsesTheNewPort)
{
    ASSERT_TRUE(engine.reader.start(countingOps(), openPort()));
    PtyLine second;
    std::string error;
    SerialPort* other = openSerialPort(second.slavePath().c_str(), &error);
    ASSERT_NE(other, nullptr) << error;
    ASSERT_TRUE(engine.reader.start(countingOps(), other));
    {
        EngineLock lock(engine);
        const uint8_t frame[] = {'<', 'p'};
        engine.io.sendFrame(frame, 2);
    }
    EXPECT_EQ(second.receive(2, 1000), (std::vector<uint8_t>{'<', 'p'}));
    EXPECT_TRUE(waitUntil(engine, [] { return calls.closes.load() == 1; }, 1000));
    EXPECT_TRUE(engine.io.running());
}

TEST(PosixPort, SetEventMaskReleasesAPendingWait)
{
    PtyLine pty;
    Engine engine;  // each test its own; ends (and joins its reader) before the pty goes
    std::string error;
    SerialPort* port = openSerialPort(pty.slavePath().c_str(), &error);
    ASSERT_NE(port, nullptr) << error;
    const SerialPortOps* ops = platformPortOps();
    ops->setEventMask(port, kTransportMask);
    uint32_t events = 0;
    ASSERT_TRUE(ops->waitEvent(port, &events));   // takes the wake-up of the mask just set
    std::atomic<bool> returned{false};
    std::atomic<uint32_t> reported{99};
    std::thread waiter([&] {
        uint32_t found = 0;
        if (ops->waitEvent(port, &found))
            reported = found;
        returned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(returned.load());
    const auto start = Clock::now();
    ops->setEventMask(port, 0);
    while (!returned.load() && msSince(start) < 1000)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_LT(msSince(start), 100);
    waiter.join();
    EXPECT_EQ(reported.load(), 0u);
    ops->close(port);
}

TEST(PosixPort, AWriteToAFarEndThatDoesNotReadFailsInBoundedTime)
{
    PtyLine pty;
    Engine engine;  // each test its own; ends (and joins its reader) before the pty goes
    std::string error;
    SerialPort* port = openSerialPort(pty.slavePath().c_str(), &error);
    ASSERT_NE(port, nullptr) << error;
    const std::vector<uint8_t> flood = pattern(512 * 1024, 3);
    const auto start = Clock::now();
    EXPECT_FALSE(platformPortOps()->write(port, flood.data(), static_cast<uint32_t>(flood.size())));
    EXPECT_LT(msSince(start), 3000);
    platformPortOps()->close(port);
}

TEST(PosixPort, RefusesWhatItCannotDriveWithAReason)
{
    std::string error;
    EXPECT_EQ(openSerialPort("/nonexistent/ttyQ9", &error), nullptr);
    EXPECT_NE(error.find("no such serial port"), std::string::npos) << error;

    char file[] = "/tmp/tarvolo-not-a-tty.XXXXXX";
    const int fd = mkstemp(file);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(openSerialPort(file, &error), nullptr);
    EXPECT_NE(error.find("not a serial port"), std::string::npos) << error;
    close(fd);
    unlink(file);

    PtyLine pty;
    Engine engine;  // each test its own; ends (and joins its reader) before the pty goes
    SerialPort* first = openSerialPort(pty.slavePath().c_str(), &error);
    ASSERT_NE(first, nullptr) << error;
    EXPECT_EQ(openSerialPort(pty.slavePath().c_str(), &error), nullptr);
    EXPECT_NE(error.find("in use by another program"), std::string::npos) << error;
    platformPortOps()->close(first);
    SerialPort* again = openSerialPort(pty.slavePath().c_str(), &error);
    EXPECT_NE(again, nullptr) << error;
    if (again)
        platformPortOps()->close(again);
}

}  // namespace
