// AppendFile on Windows: a handle opened for FILE_APPEND_DATA only (each WriteFile goes to the
// end of the file as one piece), shared for reading and appending by others, and
// FlushFileBuffers after each write; LockFileEx for the writers' lock.
#include "record/append_file.h"

#include <windows.h>

namespace {

std::string lastErrorText()
{
    const DWORD code = GetLastError();
    char text[256] = "";
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, text, sizeof text, nullptr);
    std::string s(text, n);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == '.'))
        s.pop_back();
    return s.empty() ? "error " + std::to_string(code) : s;
}

HANDLE asHandle(intptr_t h) { return reinterpret_cast<HANDLE>(h); }

}  // namespace

bool AppendFile::open(const std::string& path, std::string* error)
{
    close();
    // GENERIC_READ as well: LockFileEx needs it (it gives no right to write anywhere but the end).
    const HANDLE h = CreateFileA(path.c_str(), FILE_APPEND_DATA | GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *error = "cannot open " + path + ": " + lastErrorText();
        return false;
    }
    handle_ = reinterpret_cast<intptr_t>(h);
    path_ = path;
    return true;
}

bool AppendFile::append(const std::string& bytes, std::string* error)
{
    DWORD written = 0;
    if (!WriteFile(asHandle(handle_), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                   nullptr)) {
        *error = "cannot write to " + path_ + ": " + lastErrorText();
        return false;
    }
    if (written != bytes.size()) {
        *error = "cannot write to " + path_ + ": only " + std::to_string(written) + " of " +
                 std::to_string(bytes.size()) + " bytes written (disk full?)";
        return false;
    }
    if (!FlushFileBuffers(asHandle(handle_))) {
        *error = "cannot flush " + path_ + " to the disk: " + lastErrorText();
        return false;
    }
    return true;
}

// Windows locks are mandatory: a lock on the data would stop readers and appends alike. The
// writers lock one byte far beyond any record's end instead, as a mutex only they consult.
bool AppendFile::lock(std::string* error)
{
    OVERLAPPED at = {};
    at.Offset = 0xFFFFFFFEu;
    at.OffsetHigh = 0x7FFFFFFFu;
    if (LockFileEx(asHandle(handle_), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at))
        return true;
    *error = "cannot lock " + path_ + ": " + lastErrorText();
    return false;
}

void AppendFile::unlock()
{
    OVERLAPPED at = {};
    at.Offset = 0xFFFFFFFEu;
    at.OffsetHigh = 0x7FFFFFFFu;
    UnlockFileEx(asHandle(handle_), 0, 1, 0, &at);
}

void AppendFile::close()
{
    if (handle_ != -1)
        CloseHandle(asHandle(handle_));
    handle_ = -1;
}
