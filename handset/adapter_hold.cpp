// The adapter's latency timer (see adapter_hold.h).
#include "handset/adapter_hold.h"

#include <climits>

void AdapterHold::add(const uint8_t* bytes, size_t length, int64_t nowUs)
{
    if (length == 0)
        return;
    if (held_.empty())
        firstUs_ = nowUs;
    held_.insert(held_.end(), bytes, bytes + length);
    // Full packets leave as soon as they are full; the rest starts a timer of its own.
    const size_t full = latencyUs_ > 0 ? held_.size() / kPacketBytes * kPacketBytes : held_.size();
    if (full > 0) {
        out_.insert(out_.end(), held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(full));
        held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(full));
        firstUs_ = nowUs;
    }
}

size_t AdapterHold::release(int64_t nowUs)
{
    if (!held_.empty() && nowUs >= firstUs_ + latencyUs_) {
        out_.insert(out_.end(), held_.begin(), held_.end());
        held_.clear();
    }
    return out_.size();
}

int64_t AdapterHold::nextDueUs() const { return held_.empty() ? INT64_MAX : firstUs_ + latencyUs_; }

void AdapterHold::clear()
{
    held_.clear();
    out_.clear();
}
