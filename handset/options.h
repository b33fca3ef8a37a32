// The virtual handset's configuration: what its parameter record announces, how long it takes
// to erase and answer, which faults it injects, and what it writes when it ends. Filled by the
// command line (cli.cpp); read by the protocol machine and the pty loop.
#ifndef TARVOLO_HANDSET_OPTIONS_H
#define TARVOLO_HANDSET_OPTIONS_H

#include <cstdint>
#include <string>

#include "handset/faults.h"

struct HandsetOptions {
    // Parameter record.
    std::string productId = "KM52";   // bytes 0-3, padded with NUL
    char protocol = '1';              // byte 22: '0' CRC-16/X-25, '1' byte sum
    std::string downloadCode;         // bytes 16-22 when set (up to 7 characters): overrides "DOWNLD" + protocol
    int32_t blockSize = 1024;         // bytes 32-35, little-endian
    uint8_t blank = 0xFF;             // byte 41; 0xFF: write payloads are raw
    uint8_t recordFiller = 0x00;      // every other byte

    // Timing, in milliseconds.
    double turnaroundMs = 2;          // after a frame's line time, before any answer
    double eraseMs = 300;             // "<e" to ">e"
    double writeMs = 0;               // extra programming time per written block
    double switchWaitMs = 20;         // after the parameter request's line time, before the record
    double switchGraceMs = 200;       // how long a late host speed switch is still waited for
    double frameTimeoutMs = 1000;     // silence inside a frame that abandons it
    double adapterLatencyMs = 0;      // a USB adapter's latency timer between handset and host (0: none)

    // The image the host counts (0: as far as the blocks written, plus any trailing blank
    // blocks that make the host's checksum come out; see flash.h).
    uint32_t imageBlocks = 0;
    uint32_t maxTrailingBlank = 256;  // how far that search goes (0: no search)

    // Run control.
    uint32_t downloads = 0;           // end after this many downloads (0: run until killed)
    double lingerMs = 10000;          // after the last download: wait this long for the host to close
    std::string link;                 // symlink kept pointing at the pty
    std::string flashOut;             // flash image written at exit
    std::string report;               // JSON report written at exit
    bool log = false;                 // every frame and answer on stderr
    std::string replay;               // a capture whose handset side is played instead (replay.h)
    double replaySpeed = 1.0;         // its recorded pauses divided by this

    // Fault injection.
    uint64_t seed = 1;
    FaultPlan faults;
};

#endif
