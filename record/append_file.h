// A file that grows by whole appends, each on the disk before append returns: what the JSON
// Lines production record writes through. One implementation per OS (append_file_posix.cpp,
// append_file_win32.cpp), chosen by CMake.
//
// Other processes may append to and read the same file at the same time: each append is a
// single write at the end of the file, so lines from different writers never interleave.
// What a writer decides from the file's contents (the next run id) is decided under lock().
#ifndef TARVOLO_RECORD_APPEND_FILE_H
#define TARVOLO_RECORD_APPEND_FILE_H

#include <cstdint>
#include <string>

class AppendFile {
public:
    AppendFile() = default;
    ~AppendFile() { close(); }
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;

    // Opens `path` for appending, creating it when missing.
    bool open(const std::string& path, std::string* error);
    // Writes `bytes` with one write call, then forces them to the disk (fsync,
    // FlushFileBuffers). False with a message naming the file when either fails.
    bool append(const std::string& bytes, std::string* error);
    void close();

    // Holds other writers of the file off (they wait in lock) until unlock: a station choosing
    // its run id must not choose the one another is choosing. Readers are not held off.
    bool lock(std::string* error);
    void unlock();

private:
    intptr_t handle_ = -1;  // file descriptor or HANDLE; -1 when closed
    std::string path_;
};

#endif
