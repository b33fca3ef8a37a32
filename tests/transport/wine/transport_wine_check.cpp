// Proves the Win32 serial port and the reader thread under Wine: run against pty_peer.py,
// which holds the pty that COM1 is mapped to (see scripts/wine-tests.sh).
//
// The conversation: the check writes "PING1" at 19200 baud; the peer confirms it sees 19200
// and answers 300 bytes (more than the reader's buffer). The check switches to 115200 and
// writes "PING2"; the peer confirms the new speed and answers "OK". Exit 0 when every step
// held, 1 when one failed, 2 when the port could not be opened.
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine_state.h"
#include "engine/handler_slots.h"
#include "transport/frame_io.h"
#include "transport/line_speed.h"
#include "transport/port_discovery.h"
#include "transport/port_open.h"
#include "transport/reader.h"

#include <windows.h>

namespace {

// Written by the handlers, read by main, all under the engine lock.
int txEmptyCount = 0;
int completions = 0;
uint8_t answer[300];

void countTxEmpty(Engine&) { ++txEmptyCount; }
void countCompletion(Engine&) { ++completions; }

bool waitUntil(Engine& engine, const std::function<bool()>& condition, int ms)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        {
            EngineLock lock(engine);
            if (condition())
                return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

int failures = 0;

void check(bool held, const char* what)
{
    std::printf("%s: %s\n", held ? "ok  " : "FAIL", what);
    if (!held)
        ++failures;
}

// Sends a frame, returning how long sendFrame took in milliseconds.
long send(Engine& engine, const char* frame, uint32_t length, uint32_t expectedAnswer)
{
    EngineLock lock(engine);
    txEmptyCount = 0;
    completions = 0;
    engine.io.armReceive(answer, expectedAnswer);
    const auto start = std::chrono::steady_clock::now();
    engine.io.sendFrame(reinterpret_cast<const uint8_t*>(frame), length);
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start).count());
}

// CPU time of this process, in milliseconds.
double processCpuMs()
{
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto ms = [](const FILETIME& t) {
        return ((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10000.0;
    };
    return ms(kernel) + ms(user);
}

bool answerIsPattern()
{
    for (int i = 0; i < 300; ++i) {
        if (answer[i] != static_cast<uint8_t>((i * 7 + 3) & 0xFF))
            return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    Engine engine;  // the line's owner: its handlers, lock and reader thread
    const char* name = argc > 1 ? argv[1] : "COM1";
    std::string error;
    SerialPort* port = openSerialPort(name, &error);
    if (!port) {
        std::printf("FAIL: %s\n", error.c_str());
        return 2;
    }
    {
        EngineLock lock(engine);
        engine.slots.onTxEmpty = countTxEmpty;
        engine.slots.onRxComplete = countCompletion;
    }
    check(engine.reader.start(platformPortOps(), port), "reader thread started");
    // Idle line, for information: Wine's own emulation of the wait polls and costs CPU (a bare
    // WaitCommEvent loop measured 300-350 ms in 500 ms), so no bound is checked here.
    const double cpuBefore = processCpuMs();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::printf("idle reader: %.0f ms CPU in 500 ms\n", processCpuMs() - cpuBefore);

    static const char ping1[] = "PING1";
    const long took = send(engine, ping1, 5, 300);
    check(took < 100, "a write is not held back by the reader's wait");
    check(waitUntil(engine, [] { return txEmptyCount > 0; }, 3000), "transmit-empty reported");
    check(waitUntil(engine, [] { return completions == 1; }, 5000), "300 bytes delivered into one receive");
    {
        EngineLock lock(engine);
        check(answerIsPattern(), "the 300 bytes arrived in order");
        switchLineSpeed(engine.io, 115200);
    }
    static const char ping2[] = "PING2";
    send(engine, ping2, 5, 2);
    check(waitUntil(engine, [] { return completions == 1; }, 5000), "answer after the speed switch");
    {
        EngineLock lock(engine);
        check(answer[0] == 'O' && answer[1] == 'K', "the peer saw 115200 baud");
    }
    const auto start = std::chrono::steady_clock::now();
    engine.reader.stop();
    engine.reader.join();
    check(std::chrono::steady_clock::now() - start < std::chrono::milliseconds(500),
          "the reader stopped and closed the port");
    const std::vector<PortInfo> ports = listPorts();
    check(!ports.empty() && ports[0].device == "COM1" && probeSerialPort("COM1", nullptr),
          "COM1 listed and free again");
    std::printf("transport under Wine: %s\n", failures ? "FAILED" : "passed");
    return failures ? 1 : 0;
}
