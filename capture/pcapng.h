// The pcapng blocks a capture of the line is made of, and the reader that takes them apart
// again (for `tarvolo trace show`, the replay and the tests).
//
// Principles of operation: one section; one interface description per line speed (its name
// says the speed, so Wireshark's "Interface" column shows it); one enhanced packet block per
// chunk of bytes that one write or one read moved, with its time in microseconds and its
// direction in the standard epb_flags option (outbound: the host sent it; inbound: the handset
// did). The link type is a user one (kLinkType): the bytes are our protocol and nothing else,
// which capture/wireshark/tarvolo.lua dissects. docs/captures.md says why not RTAC serial.
#ifndef TARVOLO_CAPTURE_PCAPNG_H
#define TARVOLO_CAPTURE_PCAPNG_H

#include <cstdint>
#include <string>
#include <vector>

namespace pcapng {

constexpr uint16_t kLinkType = 147;  // LINKTYPE_USER0

void appendSectionHeader(std::string& out, const std::string& application);
void appendInterface(std::string& out, uint32_t lineSpeed);
// `comment` is left out when empty.
void appendPacket(std::string& out, uint32_t interfaceId, uint64_t timeUs, bool outbound,
                  const uint8_t* bytes, uint32_t length, const std::string& comment);

}  // namespace pcapng

// One chunk of a capture as the reader gives it back.
struct CapturedChunk {
    uint64_t timeUs = 0;          // since 1970
    bool outbound = false;        // sent by the host
    uint32_t lineSpeed = 0;       // from its interface; 0 when the interface named none
    std::string bytes;
    std::string comment;
};

struct CaptureContents {
    std::vector<CapturedChunk> chunks;
    std::string application;
};

// Reads a whole capture made of the blocks above (little- or big-endian sections, unknown
// blocks and options skipped). False, with `error` saying where, for anything that is not a
// pcapng file or whose blocks do not add up; a capture is data from outside.
bool readPcapng(const std::string& data, CaptureContents* contents, std::string* error);

#endif
