// What a handset's presence looks like on the wire, for a caller that only asks whether a
// handset answers (a station port waiting for the unit to be taken away): the inquiry frame
// and the response recogniser, the very ones a download uses, so that the wire is known in
// one place.
#ifndef TARVOLO_ENGINE_HANDSET_ANSWER_H
#define TARVOLO_ENGINE_HANDSET_ANSWER_H

#include <cstdint>

struct WireFrame {
    const uint8_t* bytes;
    uint32_t length;
};

// The inquiry "<i": a handset in its flash loader answers '>i'.
WireFrame inquiryFrame();

// One step of the response recogniser: the response letter when `current` completes '>' and
// one of the eleven letters, otherwise wire::kNoResponse. `previous` is its memory.
uint8_t recogniseStep(int32_t* previous, uint8_t current);

// Recognises '>i' across reads.
class PresenceAnswer {
public:
    // True when the bytes completed at least one '>i'.
    bool feed(const uint8_t* bytes, int32_t n);

private:
    int32_t previous_ = 0;
};

#endif
