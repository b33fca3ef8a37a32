// The USB serial adapter between the handset and the host (--adapter-latency-ms), as an FTDI
// chip behaves: what the handset sends is held in the chip until 62 bytes are waiting (a full
// USB packet less its two status bytes) or its latency timer has run since the first of them,
// then goes to the host at once. A short acknowledgement therefore reaches the host a timer
// late. Only the handset-to-host direction is held; the host's bytes pass as they come.
// The pty loop's thread.
#ifndef TARVOLO_HANDSET_ADAPTER_HOLD_H
#define TARVOLO_HANDSET_ADAPTER_HOLD_H

#include <cstddef>
#include <cstdint>
#include <vector>

class AdapterHold {
public:
    static constexpr size_t kPacketBytes = 62;

    // latencyMs 0: no adapter, every byte passes at once.
    explicit AdapterHold(double latencyMs) : latencyUs_(static_cast<int64_t>(latencyMs * 1000)) {}

    // Bytes the handset put on the line at nowUs.
    void add(const uint8_t* bytes, size_t length, int64_t nowUs);
    // Moves what the chip sends by nowUs to the host's side; how many bytes wait there.
    size_t release(int64_t nowUs);
    // The bytes released and not yet written to the pty; consume() those written.
    const uint8_t* released() const { return out_.data(); }
    void consume(size_t count) { out_.erase(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(count)); }
    // When held bytes are due by the timer; INT64_MAX when none are held.
    int64_t nextDueUs() const;
    bool empty() const { return held_.empty() && out_.empty(); }
    void clear();

private:
    int64_t latencyUs_;
    std::vector<uint8_t> held_;  // in the chip
    int64_t firstUs_ = 0;        // when the first of them came
    std::vector<uint8_t> out_;   // sent to the host, not yet written to the pty
};

#endif
