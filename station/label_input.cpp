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

void readLines(std::shared_ptr<LabelInput::Shared> shared)
{
    std::string line;
    for (;;) {
        errno = 0;
        if (!std::getline(std::cin, line)) {
            // A signal that broke into the read is no end of input.
            if (std::cin.eof() || errno != EINTR) {
                std::lock_guard<std::mutex> lock(shared->mutex);
                shared->ended = true;
                return;
            }
            std::cin.clear();
            continue;
        }
        if (line.size() > kLongestLine)
            line.resize(kLongestLine);
        std::lock_guard<std::mutex> lock(shared->mutex);
        shared->lines.push_back(line);
    }
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
