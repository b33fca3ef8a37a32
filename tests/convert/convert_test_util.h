// Shared helpers of the conversion tests: fixture files and a scratch folder per test.
#ifndef TARVOLO_TESTS_CONVERT_TEST_UTIL_H
#define TARVOLO_TESTS_CONVERT_TEST_UTIL_H

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "cli/convert/convert.h"
#include "cli/convert/convert_error.h"

namespace convert_test {

namespace fs = std::filesystem;

inline std::string fixture(const std::string& name)
{
    return std::string(TARVOLO_FIXTURES) + "/" + name;
}

inline std::vector<uint8_t> readBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in) << path;
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline std::string readText(const std::string& path)
{
    const std::vector<uint8_t> bytes = readBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

inline void writeBytes(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

inline std::vector<uint8_t> bytesOf(const std::string& text)
{
    return std::vector<uint8_t>(text.begin(), text.end());
}

// The image `name` converts to, with the given base.
inline std::vector<uint8_t> imageOfText(const std::string& name, const std::string& text,
                                        uint64_t base = 0)
{
    convert::ConvertOptions options;
    options.base = base;
    return convert::imageOf(name, convert::ByteView{reinterpret_cast<const uint8_t*>(text.data()),
                                                    text.size()},
                            options);
}

// The reason `name` is refused, or "" when it converts.
inline std::string refusal(const std::string& name, const std::string& text, uint64_t base = 0)
{
    try {
        imageOfText(name, text, base);
    } catch (const convert::ConvertError& e) {
        return e.what();
    }
    return "";
}

// A fresh, empty folder for one test, removed afterwards.
class ScratchDir {
public:
    ScratchDir()
    {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        path_ = fs::temp_directory_path() /
                ("tarvolo-convert-" + std::string(info->test_suite_name()) + "-" + info->name());
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~ScratchDir() { fs::remove_all(path_); }
    std::string file(const std::string& name) const { return (path_ / name).string(); }
    std::vector<std::string> names() const
    {
        std::vector<std::string> result;
        for (const auto& entry : fs::directory_iterator(path_))
            result.push_back(entry.path().filename().string());
        std::sort(result.begin(), result.end());
        return result;
    }

private:
    fs::path path_;
};

}  // namespace convert_test

#endif
