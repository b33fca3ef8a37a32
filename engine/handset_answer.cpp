// The inquiry frame and the response recogniser (see handset_answer.h).
#include "engine/handset_answer.h"

#include "engine/wire.h"

namespace {

const uint8_t kInquiry[wire::kInquiryLength] = {wire::kCommandMark, wire::kInquiry};

}  // namespace

WireFrame inquiryFrame() { return {kInquiry, wire::kInquiryLength}; }

uint8_t recogniseStep(int32_t* previous, uint8_t current)
{
    const int32_t before = *previous;
    *previous = current;
    if (before == wire::kResponseMark && wire::isResponseLetter(current)) {
        *previous = 0xFF;
        return current;
    }
    return wire::kNoResponse;
}

bool PresenceAnswer::feed(const uint8_t* bytes, int32_t n)
{
    bool seen = false;
    for (int32_t i = 0; i < n; ++i)
        seen |= recogniseStep(&previous_, bytes[i]) == wire::kPresent;
    return seen;
}
