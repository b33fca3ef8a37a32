// The frames of a captured line, named as the Wireshark dissector names them
// (capture/wireshark/tarvolo.lua): `tarvolo trace show` prints them, the tests compare them
// with what the engine sent and received.
//
// Principles of operation: each direction is one byte stream. A chunk may hold part of a
// frame or several; a frame is listed with the chunk its last byte came in. The host's write
// frame has no length field: it ends when its payload has made one block, of the size and
// blank byte of the last parameter record the handset sent (1024 and 0xFF before any). Bytes
// that start no frame, and frames of unknown letters, are listed as "Unparsed" and marked.
#ifndef TARVOLO_CAPTURE_FRAME_DISSECTOR_H
#define TARVOLO_CAPTURE_FRAME_DISSECTOR_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct DissectedFrame {
    size_t chunk = 0;     // index of the chunk its last byte came in
    bool outbound = false;
    std::string name;
    std::vector<std::pair<std::string, std::string>> fields;  // shown text, never raw bytes
    size_t length = 0;    // bytes on the line
    bool unparsed = false;
};

class FrameDissector {
public:
    // The frames that end in this chunk, in order.
    void feed(size_t chunk, bool outbound, const std::string& bytes, std::vector<DissectedFrame>* out);
    // Frames still incomplete when the capture ends, listed as unparsed.
    void end(size_t lastChunk, std::vector<DissectedFrame>* out);

private:
    struct Stream {
        std::string pending;
    };
    bool hostFrame(const std::string& b, DissectedFrame* frame) const;
    bool handsetFrame(const std::string& b, DissectedFrame* frame);
    size_t writeFrameLength(const std::string& b) const;
    void take(Stream& s, bool outbound, size_t chunk, std::vector<DissectedFrame>* out);

    Stream host_;
    Stream handset_;
    int32_t blockSize_ = 1024;
    uint8_t blank_ = 0xFF;
};

#endif
