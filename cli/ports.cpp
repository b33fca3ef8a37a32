// tarvolo ports [--json]: the machine's serial ports, what each is (USB identity, socket), the
// selector that names it for --port, and whether it can be opened now (each is opened and
// closed at once to find out). A USB adapter's driver and latency timer are shown with it, and
// a timer above 1 ms with the one-line fix: such an adapter holds every short reply back.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <memory>

#include "cli/commands.h"
#include "output/json_line.h"
#include "output/shown_text.h"
#include "output/terminal_view.h"
#include "transport/port_discovery.h"
#include "transport/port_open.h"
#include "transport/port_selector.h"

namespace {

struct Row {
    PortInfo port;
    std::string usbId;     // "0403:6001"
    std::string selector;  // what names it alone for --port
    bool free = false;
    std::string reason;    // why it cannot be opened
};

std::string hexPair(const PortInfo& port)
{
    if (!port.hasUsbId)
        return {};
    char text[16];
    std::snprintf(text, sizeof text, "%04x:%04x", static_cast<unsigned>(port.vendorId),
                  static_cast<unsigned>(port.productId));
    return text;
}

std::vector<Row> surveyPorts()
{
    const std::vector<PortInfo> ports = listPorts();
    std::vector<Row> rows;
    for (const PortInfo& port : ports) {
        Row row{port, hexPair(port), uniqueSelector(port, ports), false, {}};
        row.free = probeSerialPort(port.device, &row.reason);
        rows.push_back(row);
    }
    return rows;
}

using Json = nlohmann::ordered_json;

Json textOrNull(const std::string& text) { return text.empty() ? Json() : Json(text); }

// Empty for an adapter without a timer, or one at 1 ms.
std::string latencyWarning(const PortInfo& port)
{
    if (!port.latencyTimerMs || *port.latencyTimerMs <= kLowestLatencyTimerMs)
        return {};
    const std::string ms = std::to_string(*port.latencyTimerMs);
    return "the adapter's latency timer holds every short reply back up to " + ms + " ms; to make it 1 ms, " +
           latencyTimerFix();
}

std::string adapterLine(const PortInfo& port)
{
    if (port.kind != PortKind::Usb || port.driver.empty())
        return {};
    std::string line = "driver " + port.driver;
    if (port.latencyTimerMs)
        line += ", latency timer " + std::to_string(*port.latencyTimerMs) + " ms";
    return line;
}

void printJson(const std::vector<Row>& rows)
{
    Json list = Json::array();
    for (const Row& row : rows) {
        const PortInfo& p = row.port;
        list.push_back({{"device", p.device},
                        {"kind", portKindName(p.kind)},
                        {"description", p.description},
                        {"vendor_id", textOrNull(row.usbId.substr(0, 4))},
                        {"product_id", textOrNull(row.usbId.empty() ? "" : row.usbId.substr(5))},
                        {"serial_number", textOrNull(p.serialNumber)},
                        {"manufacturer", textOrNull(p.manufacturer)},
                        {"product", textOrNull(p.product)},
                        {"location", textOrNull(p.location)},
                        {"usb_interface", textOrNull(p.usbInterface)},
                        {"driver", textOrNull(p.driver)},
                        {"latency_timer_ms", p.latencyTimerMs ? Json(*p.latencyTimerMs) : Json()},
                        {"latency_warning", textOrNull(latencyWarning(p))},
                        {"stable_names", p.stableNames},
                        {"selector", row.selector},
                        {"free", row.free},
                        {"reason", textOrNull(row.reason)}});
    }
    std::printf("%s\n", jsonLine(Json{{"ports", list}}, 2).c_str());
}

std::string orDash(const std::string& text) { return text.empty() ? "-" : text; }

void printTable(const std::vector<Row>& rows)
{
    if (rows.empty()) {
        std::printf("no serial ports found\n");
        return;
    }
    std::vector<std::vector<std::string>> table = {{"PORT", "DESCRIPTION", "USB ID", "SERIAL", "LOCATION", "STATE"}};
    for (const Row& row : rows) {
        const PortInfo& p = row.port;
        table.push_back({p.device, p.description, orDash(row.usbId), orDash(p.serialNumber), orDash(p.location),
                         row.free ? "free" : row.reason});
        for (std::string& cell : table.back())
            cell = terminalSafe(cell);
    }
    size_t widths[5] = {};
    for (const auto& cells : table)
        for (size_t i = 0; i < 5; ++i)
            widths[i] = std::max(widths[i], columnsOf(cells[i]));
    for (size_t r = 0; r < table.size(); ++r) {
        std::string line;
        for (size_t i = 0; i < 5; ++i)
            line += fitColumn(table[r][i], widths[i]) + "  ";
        std::printf("%s%s\n", line.c_str(), table[r][5].c_str());
        if (r == 0)
            continue;
        const PortInfo& p = rows[r - 1].port;
        const std::string indent(widths[0] + 2, ' ');
        if (rows[r - 1].selector != p.device)
            std::printf("%s--port %s\n", indent.c_str(), terminalSafe(rows[r - 1].selector).c_str());
        for (const std::string& name : p.stableNames)
            std::printf("%salso %s\n", indent.c_str(), terminalSafe(name).c_str());
        if (!adapterLine(p).empty())
            std::printf("%s%s\n", indent.c_str(), terminalSafe(adapterLine(p)).c_str());
        if (!latencyWarning(p).empty())
            std::printf("%sWarning: %s\n", indent.c_str(), terminalSafe(latencyWarning(p)).c_str());
    }
}

}  // namespace

void setupPortsCommand(CLI::App& app, std::function<int()>& run)
{
    // The flag is read when the command runs, after this function has returned: the command
    // and its run share it.
    auto json = std::make_shared<bool>(false);
    auto* cmd = app.add_subcommand("ports", "List the serial ports, what each is, and whether each can be opened");
    cmd->add_flag("--json", *json, "The same as one JSON object: {\"ports\": [...]}");
    cmd->footer("Name a port for `download --port` by its device or by what it is: usb:VVVV:PPPP, "
                "usb:VVVV:PPPP:SERIAL, usb-path:LOCATION, or auto (the only USB serial port).");
    cmd->callback([&run, json] {
        run = [json] {
            const std::vector<Row> rows = surveyPorts();
            if (*json)
                printJson(rows);
            else
                printTable(rows);
            return 0;
        };
    });
}
