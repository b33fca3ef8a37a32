// The POSIX port asks its driver for low latency on open and puts the flags back on close;
// a driver that refuses (a pty says ENOTTY) changes nothing about opening or using the port.
#include <gtest/gtest.h>

#include <linux/serial.h>

#include <cerrno>
#include <vector>

#include "pty_line.h"
#include "transport/low_latency.h"
#include "transport/port_open.h"

namespace {

// A driver that keeps its flags in memory and remembers every set.
struct FakeDriver {
    int flags = 0x1000;     // some other flag, which must survive
    int refuseSet = 0;      // errno for TIOCSSERIAL, 0 to accept
    std::vector<int> sets;
};
FakeDriver* driver = nullptr;

int fakeGet(int, int* flags)
{
    *flags = driver->flags;
    return 0;
}
int fakeSet(int, int flags)
{
    if (driver->refuseSet)
        return driver->refuseSet;
    driver->sets.push_back(flags);
    driver->flags = flags;
    return 0;
}
const LowLatencyIo kFakeIo = {fakeGet, fakeSet};

}  // namespace

TEST(LowLatency, RequestedOnOpenRestoredOnCloseAndRefusalsAreHarmless)
{
    PtyLine line;
    FakeDriver fake;
    driver = &fake;
    std::string error;
    SerialPort* port = openSerialPortWith(line.slavePath().c_str(), kFakeIo, &error);
    ASSERT_NE(port, nullptr) << error;
    EXPECT_EQ(fake.sets, (std::vector<int>{0x1000 | ASYNC_LOW_LATENCY}));
    EXPECT_EQ(portLatencyNote(port), "low latency: ASYNC_LOW_LATENCY set");
    platformPortOps()->close(port);
    EXPECT_EQ(fake.sets, (std::vector<int>{0x1000 | ASYNC_LOW_LATENCY, 0x1000}));

    // Already low: nothing set, nothing put back.
    fake.flags |= ASYNC_LOW_LATENCY;
    fake.sets.clear();
    port = openSerialPortWith(line.slavePath().c_str(), kFakeIo, &error);
    ASSERT_NE(port, nullptr) << error;
    platformPortOps()->close(port);
    EXPECT_TRUE(fake.sets.empty());

    // A driver that will not: the port opens all the same and nothing is put back.
    fake.flags = 0;
    fake.refuseSet = EPERM;
    fake.sets.clear();
    port = openSerialPortWith(line.slavePath().c_str(), kFakeIo, &error);
    ASSERT_NE(port, nullptr) << error;
    EXPECT_NE(portLatencyNote(port).find("refused TIOCSSERIAL"), std::string::npos) << portLatencyNote(port);
    platformPortOps()->close(port);
    EXPECT_TRUE(fake.sets.empty());
    driver = nullptr;

    // The real ioctls on a real pty: refused, and the line works.
    port = openSerialPort(line.slavePath().c_str(), &error);
    ASSERT_NE(port, nullptr) << error;
    EXPECT_NE(portLatencyNote(port).find("refused"), std::string::npos) << portLatencyNote(port);
    const uint8_t hello[] = {'<', 'i'};
    EXPECT_TRUE(platformPortOps()->write(port, hello, sizeof hello));
    EXPECT_EQ(line.receive(2, 1000), (std::vector<uint8_t>{'<', 'i'}));
    platformPortOps()->close(port);
}
