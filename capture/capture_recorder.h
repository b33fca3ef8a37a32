// What went over one line during one download, as a pcapng capture (pcapng.h), built while
// the download runs.
//
// Bounded: the blocks are kept in memory up to a limit. With a file to stream to (the command
// line's --capture), the blocks go out to a temporary file beside it whenever a few tens of
// KiB have gathered, so memory stays small however long the download; the file gets its name
// only when finish() succeeds, so a failed write leaves no half capture. Without one (a
// station's unit, written only if the unit fails) the capture keeps its first `limit` bytes and
// then notes, in a comment on its last packet, how many chunks it left out: the start of a
// download is what a replay needs.
//
// Threads: chunks come from the engine's threads (writes) and the reader thread (reads) at
// once; one mutex of its own guards everything, never the engine's lock.
#ifndef TARVOLO_CAPTURE_CAPTURE_RECORDER_H
#define TARVOLO_CAPTURE_CAPTURE_RECORDER_H

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

class CaptureRecorder {
public:
    explicit CaptureRecorder(size_t limitBytes, uint32_t lineSpeed = 19200);
    ~CaptureRecorder();
    CaptureRecorder(const CaptureRecorder&) = delete;
    CaptureRecorder& operator=(const CaptureRecorder&) = delete;

    // Streams the capture to `path` (through `path`.part until finish). False, with `error`,
    // when the temporary file cannot be made.
    bool streamTo(const std::string& path, std::string* error);

    // One write (outbound) or read (inbound), timed now.
    void chunk(bool outbound, const uint8_t* bytes, uint32_t length);
    // The same with a given time (the text trace converter); `timeUs` since 1970.
    void chunkAt(uint64_t timeUs, bool outbound, const uint8_t* bytes, uint32_t length);
    // The line speed from now on: a new interface block when this speed has none yet.
    void lineSpeed(uint32_t baud);
    // A note for the next packet's comment (a purge, a phase, an interruption).
    void note(const std::string& text);

    // Streaming: flushes, closes and renames the temporary file to its name. Otherwise:
    // writes what is kept to `path` the same way (temporary name, then rename). False, with
    // `error`, when any of it failed; the temporary file is then removed.
    bool finish(std::string* error);
    bool saveTo(const std::string& path, std::string* error);

    size_t keptBytes() const;
    uint64_t leftOut() const;

private:
    uint64_t nowUs() const;
    uint32_t interfaceFor(uint32_t baud);
    void spill();
    void appendClosingNote(std::string& out) const;

    mutable std::mutex mutex_;
    const size_t limit_;
    std::string blocks_;            // not yet streamed (all of it when not streaming)
    size_t written_ = 0;            // streamed already
    std::string pendingNote_;
    std::vector<uint32_t> speeds_;  // one interface per speed, in order of first use
    uint32_t current_ = 0;          // interface id of the speed now
    uint64_t leftOut_ = 0;          // chunks past the limit
    std::string path_;              // streaming
    FILE* file_ = nullptr;
    bool failed_ = false;
    const std::chrono::system_clock::time_point wallStart_;
    const std::chrono::steady_clock::time_point start_;
};

// Writes `bytes` to `path` through a temporary name beside it, renamed once whole. False, with
// `error`, on any failure (the temporary file then removed).
bool writeWholeFile(const std::string& path, const std::string& bytes, std::string* error);

#endif
