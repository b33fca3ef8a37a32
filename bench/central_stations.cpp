// Simulated stations for bench/central_bench.py: one central link per record named (the
// station's own shipping thread, with its connection, ledger and heartbeat), each shipping
// what another process appends to its record, as a station's link ships what its ports
// commit. No ports, no workers: two hundred of them fit on a small machine.
//   central_stations CONNECTION RECORD...
// Runs until standard input closes, then gives each link its last pass (at most 30 s) and
// prints one line per record whose units the server has not all confirmed. Exit status 0
// when every unit of every record is confirmed, 1 otherwise.
#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "central/central_link.h"

namespace {

// The station's name: the record's file name without its folder and extension.
std::string stationOf(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    return name.substr(0, name.find('.'));
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: central_stations CONNECTION RECORD...\n");
        return 64;
    }
    std::vector<std::unique_ptr<CentralLink>> links;
    for (int i = 2; i < argc; ++i) {
        CentralLinkOptions o;
        o.target.connection = argv[1];
        o.recordPath = argv[i];
        o.stationId = stationOf(argv[i]);
        o.toolVersion = "bench";
        links.push_back(std::make_unique<CentralLink>(o));
        std::string error;
        if (!links.back()->start(&error)) {
            std::fprintf(stderr, "central_stations: %s: %s\n", argv[i], error.c_str());
            return 1;
        }
    }
    std::string line;
    while (std::getline(std::cin, line)) {
    }
    for (auto& link : links)
        link->finish(std::chrono::seconds(30));  // its last pass; the others ship meanwhile
    int status = 0;
    for (size_t i = 0; i < links.size(); ++i) {
        const CentralState s = links[i]->state();
        if (s.backlog.unconfirmed > 0) {
            std::printf("%s: %lld units not confirmed (%s)\n", argv[i + 2], static_cast<long long>(s.backlog.unconfirmed),
                        s.lastError.c_str());
            status = 1;
        }
    }
    return status;
}
