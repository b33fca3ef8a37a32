// Reading scanned labels from standard input (see label_input.h).
#include "station/label_input.h"

#include <cerrno>
#include <iostream>
#include <mutex>
#include <thread>

#include "station/station_platform.h"

struct LabelInput::Shared {
    std::mutex mutex;
    std::vector<std::string> lines;
    bool ended = false;
};

namespace {

// A scanner never sends this much without an Enter: the rest of such a line is not a label.
constexpr size_t kLongestLine = 4096;

// One line into `line`, of at most kLongestLine bytes: the rest of a longer one is read and
// dropped, so that input without line ends (a file piped in by mistake) cannot fill the
// memory. False at the end of input with nothing read.
bool readLine(std::string* line)
{
    line->clear();
    for (;;) {
        errno = 0;
        const int c = std::cin.get();
        if (c == std::char_traits<char>::eof()) {
            // A signal that broke into the read is no end of input.
            if (!std::cin.eof() && errno == EINTR) {
                std::cin.clear();
                continue;
            }
            return !line->empty();
        }
        if (c == '\n')
            return true;
        if (line->size() < kLongestLine)
            line->push_back(static_cast<char>(c));
    }
}

void readLines(std::shared_ptr<LabelInput::Shared> shared)
{
    std::string line;
    while (readLine(&line)) {
        std::lock_guard<std::mutex> lock(shared->mutex);
        shared->lines.push_back(line);
    }
    std::lock_guard<std::mutex> lock(shared->mutex);
    shared->ended = true;
}

}  // namespace

LabelInput::LabelInput() : shared_(std::make_shared<Shared>())
{
    quieted_ = quietOperatorInput(&savedEcho_);
    std::thread(readLines, shared_).detach();
}

LabelInput::~LabelInput()
{
    if (quieted_)
        restoreOperatorInput(savedEcho_);
}

std::vector<std::string> LabelInput::take()
{
    std::lock_guard<std::mutex> lock(shared_->mutex);
    std::vector<std::string> lines;
    lines.swap(shared_->lines);
    return lines;
}

bool LabelInput::ended() const
{
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return shared_->ended;
}
