// A release file written to the temporary folder for one test and removed afterwards.
#ifndef TARVOLO_TESTS_ENGINE_TEMP_FILE_H
#define TARVOLO_TESTS_ENGINE_TEMP_FILE_H

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

class TempFile {
public:
    explicit TempFile(const std::vector<uint8_t>& bytes)
    {
        static std::atomic<int> serial{0};
        path_ = (std::filesystem::temp_directory_path() /
                 ("tarvolo-test-" + std::to_string(reinterpret_cast<uintptr_t>(this)) + "-" +
                  std::to_string(serial++) + ".rel"))
                    .string();
        std::ofstream out(path_, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
    }
    ~TempFile()
    {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    const char* path() const { return path_.c_str(); }

private:
    std::string path_;
};

// The product identifier followed by the image.
inline std::vector<uint8_t> releaseBytes(const std::string& id, const std::vector<uint8_t>& image)
{
    std::vector<uint8_t> bytes(id.begin(), id.end());
    bytes.insert(bytes.end(), image.begin(), image.end());
    return bytes;
}

#endif
