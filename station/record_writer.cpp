// Writing unit rows on a thread of their own (see record_writer.h).
#include "station/record_writer.h"

RecordWriter::RecordWriter(ProductionRecord& record) : record_(record)
{
    thread_ = std::thread([this] { run(); });
}

RecordWriter::~RecordWriter() { finish(); }

void RecordWriter::write(size_t port, const UnitRecord& unit)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back({port, unit, false, {}});
        ++pending_;
    }
    queued_.notify_one();
}

std::vector<WrittenUnit> RecordWriter::takeWritten()
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<WrittenUnit> taken;
    taken.swap(written_);
    pending_ -= taken.size();
    return taken;
}

size_t RecordWriter::pending() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return pending_;
}

void RecordWriter::finish()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ending_ = true;
    }
    queued_.notify_one();
    if (thread_.joinable())
        thread_.join();
}

void RecordWriter::run()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        queued_.wait(lock, [this] { return ending_ || !queue_.empty(); });
        if (queue_.empty())
            return;
        WrittenUnit item = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        item.recorded = record_.recordUnit(item.unit, &item.error);
        lock.lock();
        written_.push_back(std::move(item));
    }
}
