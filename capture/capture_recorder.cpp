// A capture built while a download runs (see capture_recorder.h).
#include "capture/capture_recorder.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "capture/pcapng.h"

namespace {

constexpr size_t kSpillAt = 64 * 1024;   // streaming: write out once this much has gathered
const char* const kApplication = "tarvolo";

std::string partName(const std::string& path) { return path + ".part"; }

// Closes `file` and renames it to `path`; false with `error` (the part file removed) on failure.
bool closeAndRename(FILE* file, bool failed, const std::string& path, std::string* error)
{
    const bool flushed = std::fflush(file) == 0 && std::ferror(file) == 0;
    const int savedErrno = errno;
    const bool closed = std::fclose(file) == 0;
    std::error_code ec;
    if (!failed && flushed && closed) {
        std::filesystem::rename(partName(path), path, ec);
        if (!ec)
            return true;
        *error = "cannot name the capture " + path + ": " + ec.message();
    } else {
        *error = "cannot write the capture " + path + ": " +
                 std::strerror(savedErrno ? savedErrno : EIO);
    }
    std::filesystem::remove(partName(path), ec);
    return false;
}

}  // namespace

bool writeWholeFile(const std::string& path, const std::string& bytes, std::string* error)
{
    FILE* file = std::fopen(partName(path).c_str(), "wb");
    if (!file) {
        *error = "cannot write the capture " + path + ": " + std::strerror(errno);
        return false;
    }
    const bool failed = std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size();
    return closeAndRename(file, failed, path, error);
}

CaptureRecorder::CaptureRecorder(size_t limitBytes, uint32_t lineSpeed)
    : limit_(limitBytes), wallStart_(std::chrono::system_clock::now()),
      start_(std::chrono::steady_clock::now())
{
    pcapng::appendSectionHeader(blocks_, kApplication);
    current_ = interfaceFor(lineSpeed);
}

CaptureRecorder::~CaptureRecorder()
{
    if (file_) {
        std::fclose(file_);
        std::error_code ec;
        std::filesystem::remove(partName(path_), ec);
    }
}

bool CaptureRecorder::streamTo(const std::string& path, std::string* error)
{
    std::lock_guard<std::mutex> guard(mutex_);
    file_ = std::fopen(partName(path).c_str(), "wb");
    if (!file_) {
        *error = "cannot write the capture " + path + ": " + std::strerror(errno);
        return false;
    }
    path_ = path;
    return true;
}

uint64_t CaptureRecorder::nowUs() const
{
    // Wall time at the start, steady time since: a clock set meanwhile cannot reorder packets.
    const auto since = std::chrono::steady_clock::now() - start_;
    const auto wall = wallStart_.time_since_epoch() + since;
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(wall).count());
}

uint32_t CaptureRecorder::interfaceFor(uint32_t baud)
{
    for (size_t i = 0; i < speeds_.size(); ++i) {
        if (speeds_[i] == baud)
            return static_cast<uint32_t>(i);
    }
    speeds_.push_back(baud);
    pcapng::appendInterface(blocks_, baud);
    return static_cast<uint32_t>(speeds_.size() - 1);
}

void CaptureRecorder::chunk(bool outbound, const uint8_t* bytes, uint32_t length)
{
    chunkAt(nowUs(), outbound, bytes, length);
}

void CaptureRecorder::chunkAt(uint64_t timeUs, bool outbound, const uint8_t* bytes, uint32_t length)
{
    if (length == 0)
        return;
    std::lock_guard<std::mutex> guard(mutex_);
    if (!file_ && blocks_.size() + length + 64 + pendingNote_.size() > limit_) {
        ++leftOut_;
        return;
    }
    pcapng::appendPacket(blocks_, current_, timeUs, outbound, bytes, length, pendingNote_);
    pendingNote_.clear();
    if (file_ && blocks_.size() >= kSpillAt)
        spill();
}

void CaptureRecorder::lineSpeed(uint32_t baud)
{
    std::lock_guard<std::mutex> guard(mutex_);
    current_ = interfaceFor(baud);
}

void CaptureRecorder::note(const std::string& text)
{
    std::lock_guard<std::mutex> guard(mutex_);
    if (pendingNote_.size() > 4096)
        return;  // a line that says nothing for long gathers notes without end
    pendingNote_ += pendingNote_.empty() ? text : "; " + text;
}

void CaptureRecorder::spill()
{
    if (std::fwrite(blocks_.data(), 1, blocks_.size(), file_) != blocks_.size())
        failed_ = true;
    written_ += blocks_.size();
    blocks_.clear();
}

// The notes still waiting for a packet, and how many chunks the bound left out, said on an
// empty packet of their own at the end, so that nothing is lost. Under the lock.
void CaptureRecorder::appendClosingNote(std::string& out) const
{
    std::string text = pendingNote_;
    if (leftOut_) {
        text += text.empty() ? "" : "; ";
        text += "capture bound of " + std::to_string(limit_) + " bytes reached: " +
                std::to_string(leftOut_) + " later chunk(s) left out";
    }
    if (text.empty())
        return;
    static const uint8_t kNothing = 0;
    pcapng::appendPacket(out, current_, nowUs(), false, &kNothing, 0, text);
}

bool CaptureRecorder::finish(std::string* error)
{
    std::lock_guard<std::mutex> guard(mutex_);
    if (!file_)
        return true;
    appendClosingNote(blocks_);
    pendingNote_.clear();
    spill();
    FILE* file = file_;
    file_ = nullptr;
    return closeAndRename(file, failed_, path_, error);
}

bool CaptureRecorder::saveTo(const std::string& path, std::string* error)
{
    std::string whole;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        whole = blocks_;
        appendClosingNote(whole);
    }
    return writeWholeFile(path, whole, error);
}

size_t CaptureRecorder::keptBytes() const
{
    std::lock_guard<std::mutex> guard(mutex_);
    return written_ + blocks_.size();
}

uint64_t CaptureRecorder::leftOut() const
{
    std::lock_guard<std::mutex> guard(mutex_);
    return leftOut_;
}
