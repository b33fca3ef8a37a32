// libFuzzer harness of the capture readers: a pcapng file (from a station, a colleague's mail,
// anywhere) and a text trace are read without a crash or a read past their bytes; every frame
// the dissector finds is whole (its length within what was fed) and its shown fields hold no
// control byte; a capture the reader took, written again, reads back to the same chunks.
//
// Input: the first byte chooses the reader (even: pcapng, odd: text trace), the rest is the file.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "capture/capture_recorder.h"
#include "capture/frame_dissector.h"
#include "capture/pcapng.h"
#include "capture/text_trace.h"

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

void dissect(const CaptureContents& contents)
{
    FrameDissector dissector;
    std::vector<DissectedFrame> frames;
    size_t fed = 0;
    size_t listed = 0;
    for (size_t i = 0; i < contents.chunks.size(); ++i) {
        fed += contents.chunks[i].bytes.size();
        dissector.feed(i, contents.chunks[i].outbound, contents.chunks[i].bytes, &frames);
    }
    dissector.end(contents.chunks.empty() ? 0 : contents.chunks.size() - 1, &frames);
    for (const DissectedFrame& f : frames) {
        listed += f.length;
        for (const auto& field : f.fields)
            for (unsigned char c : field.second)
                require(c >= 0x20 && c < 0x7F);
    }
    require(listed == fed);
}

// The chunks written by the recorder's own blocks and read back.
void roundTrip(const CaptureContents& contents)
{
    std::string file;
    pcapng::appendSectionHeader(file, contents.application);
    pcapng::appendInterface(file, 19200);
    for (const CapturedChunk& c : contents.chunks)
        pcapng::appendPacket(file, 0, c.timeUs, c.outbound, reinterpret_cast<const uint8_t*>(c.bytes.data()),
                             static_cast<uint32_t>(c.bytes.size()), c.comment);
    CaptureContents again;
    std::string error;
    require(readPcapng(file, &again, &error));
    require(again.chunks.size() == contents.chunks.size());
    for (size_t i = 0; i < again.chunks.size(); ++i) {
        require(again.chunks[i].bytes == contents.chunks[i].bytes);
        require(again.chunks[i].outbound == contents.chunks[i].outbound);
        require(again.chunks[i].timeUs == contents.chunks[i].timeUs);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const std::string file(reinterpret_cast<const char*>(data) + 1, size - 1);
    CaptureContents contents;
    std::string error;
    if (data[0] % 2 == 0) {
        if (readPcapng(file, &contents, &error)) {
            dissect(contents);
            roundTrip(contents);
        }
        return 0;
    }
    CaptureRecorder recorder(1u << 20);
    convertTextTrace(file, 0, recorder, &error);
    return 0;
}
