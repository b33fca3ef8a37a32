// Choosing the download's port (see port_choice.h). Main thread.
#include "cli/port_choice.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "cli/commands.h"
#include "cli/console.h"
#include "cli/download_session.h"
#include "output/json_line.h"
#include "output/shown_text.h"
#include "transport/port_discovery.h"
#include "transport/port_selector.h"
#include "transport/port_watch.h"

namespace {

using Clock = std::chrono::steady_clock;
// How often to look again when no change event came: events are not to be had everywhere
// (Wine; a device path whose folder does not exist yet).
constexpr auto kLookAgain = std::chrono::milliseconds(250);
// A device node just created may not have its group and mode yet (udev sets them a moment
// later): after a wait, the download's open waits this long at most for them.
constexpr auto kSettleTime = std::chrono::seconds(2);

int fail(int code, const std::string& text)
{
    std::fprintf(stderr, "tarvolo: %s\n", terminalSafe(text).c_str());
    return code;
}

// A line on stderr for people, or the event on stdout for the JSON view.
void tell(ViewMode view, const nlohmann::json& event, const std::string& text)
{
    if (view == ViewMode::Json)
        writeJsonLine(stdout, event);
    else
        std::fprintf(stderr, "%s\n", terminalSafe(text).c_str());
}

bool present(const PortSelector& selector)
{
    return selectorPresent(selector, portsToMatch(selector));
}

// Waits until the selector names a port that is there. *waitedMs: how long it took (0 when it
// was there at once).
int waitForPort(const PortSelector& selector, int seconds, ViewMode view, long* waitedMs)
{
    *waitedMs = 0;
    if (present(selector))
        return 0;
    catchInterrupts();
    tell(view, {{"event", "waiting_port"}, {"selector", selector.text}, {"seconds", seconds}},
         "Waiting for port " + selector.text + " to appear (up to " + std::to_string(seconds) +
             " s; Ctrl-C to stop)...");
    PortWatch watch(selector.kind == PortSelector::Kind::Device ? selector.text : "");
    const auto started = Clock::now();
    const auto deadline = started + std::chrono::seconds(seconds);
    while (!present(selector)) {
        if (interrupted())
            return fail(kExitInterrupted, "interrupted while waiting for port " + selector.text);
        const auto now = Clock::now();
        if (now >= deadline)
            return fail(kExitPortNotOpened,
                        "port " + selector.text + " did not appear within " + std::to_string(seconds) + " s");
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
        watch.wait(static_cast<int>(std::min(left, std::chrono::milliseconds(kLookAgain)).count()) + 1);
    }
    *waitedMs = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count());
    return 0;
}

// "Port auto appeared after 1.2 s: /dev/ttyACM0".
std::string foundLine(const std::string& selector, const std::string& device, long waitedMs)
{
    std::string line = "Port " + selector;
    if (waitedMs > 0) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, " appeared after %.1f s", waitedMs / 1000.0);
        line += seconds;
    }
    return device == selector ? line : line + ": " + device;
}

void settle(const std::string& device)
{
    const auto until = Clock::now() + kSettleTime;
    while (!portAccessible(device) && Clock::now() < until && !interrupted())
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

}  // namespace

int choosePort(const std::string& text, int waitSeconds, ViewMode view, std::string* device)
{
    PortSelector selector;
    std::string error;
    if (!parsePortSelector(text, &selector, &error))
        return fail(kExitUsage, "--port " + error);
    if (selector.kind == PortSelector::Kind::AllUsb)
        return fail(kExitUsage, "--port all-usb names every USB serial port; a download takes one "
                                "(auto, or a selector that `tarvolo ports` shows)");
    long waitedMs = 0;
    if (waitSeconds > 0) {
        const int code = waitForPort(selector, waitSeconds, view, &waitedMs);
        if (code != 0)
            return code;
    }
    const bool byName = selector.kind == PortSelector::Kind::Device;
    const PortChoice choice = chooseOnePort(selector, portsToMatch(selector));
    if (!choice.found)
        return fail(kExitPortNotOpened, choice.error);
    *device = choice.device;
    if (!byName || waitedMs > 0)
        tell(view,
             {{"event", "port"}, {"selector", selector.text}, {"device", choice.device}, {"waited_ms", waitedMs}},
             foundLine(selector.text, choice.device, waitedMs));
    if (waitedMs > 0)
        settle(choice.device);
    return 0;
}
