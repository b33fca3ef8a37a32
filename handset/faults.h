// Fault injection: which answers the virtual handset spoils, and when. Each fault has a
// schedule (the first N chances, N chances from the K-th on, every chance, or each chance with
// a probability) and its own random stream derived from one seed, so a run is repeatable and
// switching one fault on does not change when another fires.
#ifndef TARVOLO_HANDSET_FAULTS_H
#define TARVOLO_HANDSET_FAULTS_H

#include <array>
#include <cstdint>
#include <random>
#include <string>

enum class Fault : int {
    EraseRefusal,       // ">E" instead of ">e"
    BlockRefusal,       // ">W" and one byte; the block is not written
    WrongBlockNumber,   // ">w" with the block number plus one; the block is written
    DroppedAck,         // the block is written, nothing is answered
    Noise,              // random bytes (never '>') before an answer
    CompletionRefusal,  // ">C" instead of ">c"
    WrongChecksum,      // ">c" with the own checksum's bits inverted
    SilentInquiry,      // the frame of that phase is not heard at all
    SilentParameter,
    SilentErase,
    SilentBlock,
    SilentChecksum,
    SilentAbort,        // also --unanswered-abort
    Count
};
constexpr int kFaultCount = static_cast<int>(Fault::Count);

// Short stable name of a fault, as used in the report.
const char* faultName(Fault fault);

// When a fault fires, counted in chances (the frames at which it could fire).
struct FaultSchedule {
    uint32_t count = 0;        // chances that fire, starting at chance `first`
    uint32_t first = 1;        // 1-based
    bool always = false;
    double probability = 0;    // when > 0: each chance fires with this probability

    bool enabled() const { return always || count > 0 || probability > 0; }
};

// Parses "N", "N@K", "all" or a probability ("0.25", "25%"). Returns false on anything else,
// with `error` saying why.
bool parseFaultSchedule(const std::string& text, FaultSchedule& schedule, std::string& error);

class FaultPlan;

// Sets a fault of `plan` the way its command-line option does, by the option's name without
// the dashes: a schedule option ("completion-refusals", "2@3"), "silent" with PHASE or
// PHASE=SCHEDULE, "unanswered-abort" with an empty value. The global options and each unit of a
// stream go through here, so both take the same names and schedules. Returns an error text
// naming the option, empty on success; `known` tells whether the name is a fault option at all.
std::string setFaultOption(FaultPlan& plan, const std::string& name, const std::string& value, bool& known);
// Whether `name` is a schedule option (one that takes a SCHEDULE).
bool isScheduleOption(const std::string& name);

class FaultPlan {
public:
    void set(Fault fault, const FaultSchedule& schedule) { schedules_[index(fault)] = schedule; }
    const FaultSchedule& schedule(Fault fault) const { return schedules_[index(fault)]; }
    void seed(uint64_t seed);

    // One chance for `fault`: true when it fires now. Counts chances and injections.
    bool fire(Fault fault);
    uint32_t injected(Fault fault) const { return injected_[index(fault)]; }
    // Random noise bytes, never '>' (that would start a real answer).
    std::string noise();

    uint32_t noiseBytes = 3;

private:
    static size_t index(Fault fault) { return static_cast<size_t>(fault); }
    std::array<FaultSchedule, kFaultCount> schedules_{};
    std::array<uint32_t, kFaultCount> chances_{};
    std::array<uint32_t, kFaultCount> injected_{};
    std::array<std::mt19937_64, kFaultCount> streams_{};
    std::mt19937_64 noiseStream_;
};

#endif
