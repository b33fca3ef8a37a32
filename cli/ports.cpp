// tarvolo ports [--json]: the machine's serial ports, what each is (USB identity, socket), the
// selector that names it for --port, and whether it can be opened now (each is opened and
// closed at once to find out).
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "cli/commands.h"
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
                        {"stable_names", p.stableNames},
                        {"selector", row.selector},
                        {"free", row.free},
                        {"reason", textOrNull(row.reason)}});
    }
    std::printf("%s\n", Json{{"ports", list}}.dump(2).c_str());
}

std::string orDash(const std::string& text) { return text.empty() ? "-" : text; }

void printTable(const std::vector<Row>& rows)
{
    if (rows.empty()) {
        std::printf("no serial ports found\n");
        return;
    }
    size_t widths[5] = {4, 11, 6, 6, 8};  // the headings' own widths
    for (const Row& row : rows) {
        const std::string cells[5] = {row.port.device, row.port.description, row.usbId, row.port.serialNumber,
                                      row.port.location};
        for (size_t i = 0; i < 5; ++i)
            widths[i] = std::max(widths[i], cells[i].size());
    }
    const int w[5] = {static_cast<int>(widths[0]), static_cast<int>(widths[1]), static_cast<int>(widths[2]),
                      static_cast<int>(widths[3]), static_cast<int>(widths[4])};
    std::printf("%-*s  %-*s  %-*s  %-*s  %-*s  %s\n", w[0], "PORT", w[1], "DESCRIPTION", w[2], "USB ID", w[3],
                "SERIAL", w[4], "LOCATION", "STATE");
    for (const Row& row : rows) {
        const PortInfo& p = row.port;
        std::printf("%-*s  %-*s  %-*s  %-*s  %-*s  %s\n", w[0], p.device.c_str(), w[1], p.description.c_str(), w[2],
                    orDash(row.usbId).c_str(), w[3], orDash(p.serialNumber).c_str(), w[4],
                    orDash(p.location).c_str(), row.free ? "free" : row.reason.c_str());
        const std::string indent(widths[0] + 2, ' ');
        if (row.selector != p.device)
            std::printf("%s--port %s\n", indent.c_str(), row.selector.c_str());
        for (const std::string& name : p.stableNames)
            std::printf("%salso %s\n", indent.c_str(), name.c_str());
    }
}

}  // namespace

void setupPortsCommand(CLI::App& app, std::function<int()>& run)
{
    static bool json = false;
    auto* cmd = app.add_subcommand("ports", "List the serial ports, what each is, and whether each can be opened");
    cmd->add_flag("--json", json, "The same as one JSON object: {\"ports\": [...]}");
    cmd->footer("Name a port for `download --port` by its device or by what it is: usb:VVVV:PPPP, "
                "usb:VVVV:PPPP:SERIAL, usb-path:LOCATION, or auto (the only USB serial port).");
    cmd->callback([&run] {
        run = [] {
            const std::vector<Row> rows = surveyPorts();
            if (json)
                printJson(rows);
            else
                printTable(rows);
            return 0;
        };
    });
}
