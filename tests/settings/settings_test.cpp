// The settings file: its exact bytes, loading of short, long, missing and damaged files, and
// saving that never leaves a damaged file behind.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "settings/settings.h"

namespace fs = std::filesystem;

namespace {

class SettingsFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = fs::temp_directory_path() /
              ("tarvolo-settings-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
               "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
        path = settingsFilePath(dir.string(), '/');
    }
    void TearDown() override { fs::remove_all(dir); }

    std::vector<uint8_t> bytes() const
    {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    void write(const std::vector<uint8_t>& content) const
    {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
    }

    fs::path dir;
    std::string path;
};

Settings sample()
{
    Settings s;
    resetSettings(&s);
    s.gangMode = 1;
    s.speed = 57600;
    s.portDigit = '3';
    s.filterIndex = 7;
    std::strcpy(s.sourcePath, "C:\\Build\\image.MOT");
    std::strcpy(s.sourcePath + 100, "kept after the zero");
    std::strcpy(s.releasePath, "C:\\Out\\image.rel");
    std::strcpy(s.productId, "KM21");
    s.downloadMode = 1;
    return s;
}

}  // namespace

TEST_F(SettingsFile, RoundTripKeepsEveryFieldAndTheLayout)
{
    const Settings saved = sample();
    ASSERT_TRUE(saveSettingsFile(path.c_str(), saved));
    const std::vector<uint8_t> file = bytes();
    ASSERT_EQ(file.size(), 542u);
    EXPECT_EQ(file[0], 1);
    EXPECT_EQ(file[4] | file[5] << 8 | file[6] << 16, 57600);
    EXPECT_EQ(file[8], '3');
    EXPECT_EQ(file[9], 7);  // unaligned
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&file[13])), "C:\\Build\\image.MOT");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&file[113])), "kept after the zero");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&file[273])), "C:\\Out\\image.rel");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&file[533])), "KM21");
    EXPECT_EQ(file[538], 1);

    Settings loaded;
    resetSettings(&loaded);
    ASSERT_TRUE(loadSettingsFile(path.c_str(), &loaded));
    EXPECT_EQ(std::memcmp(&loaded.gangMode, &saved.gangMode, 4), 0);
    EXPECT_EQ(loaded.speed, 57600u);
    EXPECT_EQ(loaded.portDigit, '3');
    EXPECT_EQ(loaded.filterIndex, 7);
    EXPECT_EQ(std::memcmp(loaded.sourcePath, saved.sourcePath, 260), 0);
    EXPECT_EQ(std::memcmp(loaded.releasePath, saved.releasePath, 260), 0);
    EXPECT_STREQ(loaded.productId, "KM21");
    EXPECT_EQ(loaded.downloadMode, 1);
    EXPECT_FALSE(fs::exists(path + ".new"));
}

TEST_F(SettingsFile, MissingFileGivesDefaultsButKeepsProductAndMode)
{
    Settings s = sample();
    EXPECT_FALSE(loadSettingsFile(path.c_str(), &s));
    EXPECT_EQ(s.gangMode, 0);
    EXPECT_EQ(s.speed, 115200u);
    EXPECT_EQ(s.portDigit, '1');
    EXPECT_EQ(s.filterIndex, 1);
    EXPECT_EQ(s.sourcePath[0], 0);
    EXPECT_EQ(s.releasePath[0], 0);
    EXPECT_STREQ(s.productId, "KM21");
    EXPECT_EQ(s.downloadMode, 1);

    Settings start;
    resetSettings(&start);
    EXPECT_STREQ(start.productId, "KM52");
    EXPECT_EQ(start.downloadMode, 0);
    EXPECT_EQ(std::memcmp(&start, &settings, sizeof start), 0) << "program-start values";
}

TEST_F(SettingsFile, ShortFileReplacesFieldsOnlyAsFarAsItGoes)
{
    // Gang 1, speed 38400, port '2', then two bytes of the filter index (0x0105 low half).
    write({1, 0, 0, 0, 0x00, 0x96, 0, 0, '2', 0x05, 0x01});
    Settings s;
    resetSettings(&s);
    s.filterIndex = 0x7F7F0000;
    std::strcpy(s.sourcePath, "before");
    ASSERT_TRUE(loadSettingsFile(path.c_str(), &s));
    EXPECT_EQ(s.gangMode, 1);
    EXPECT_EQ(s.speed, 38400u);
    EXPECT_EQ(s.portDigit, '2');
    EXPECT_EQ(s.filterIndex, 0x7F7F0105);
    EXPECT_STREQ(s.sourcePath, "before");
    EXPECT_STREQ(s.productId, "KM52");
}

TEST_F(SettingsFile, LongFileIsReadForItsFirst542BytesAndRewrittenShort)
{
    std::vector<uint8_t> content(600, 'x');
    content[8] = '4';
    write(content);
    Settings s;
    resetSettings(&s);
    ASSERT_TRUE(loadSettingsFile(path.c_str(), &s));
    EXPECT_EQ(s.portDigit, '4');
    ASSERT_TRUE(saveSettingsFile(path.c_str(), s));
    EXPECT_EQ(bytes().size(), 542u);
}

TEST_F(SettingsFile, UnterminatedTextIsCutInsideItsBuffer)
{
    write(std::vector<uint8_t>(542, 'A'));
    Settings s;
    resetSettings(&s);
    ASSERT_TRUE(loadSettingsFile(path.c_str(), &s));
    EXPECT_EQ(std::strlen(s.sourcePath), 259u);
    EXPECT_EQ(std::strlen(s.releasePath), 259u);
    EXPECT_STREQ(s.productId, "AAAA");
}

TEST_F(SettingsFile, FailedSaveKeepsThePreviousFile)
{
    Settings old = sample();
    ASSERT_TRUE(saveSettingsFile(path.c_str(), old));
    const std::vector<uint8_t> before = bytes();

    // The new file cannot be written beside the old one.
    fs::create_directory(path + ".new");
    Settings changed = old;
    changed.portDigit = '2';
    EXPECT_FALSE(saveSettingsFile(path.c_str(), changed));
    EXPECT_EQ(bytes(), before);
    fs::remove(path + ".new");

    // Written, but it cannot take the old one's place: nothing is left behind.
    const std::string blocked = (dir / "blocked").string();
    fs::create_directories(blocked + "/inside");
    EXPECT_FALSE(saveSettingsFile(blocked.c_str(), changed));
    EXPECT_FALSE(fs::exists(blocked + ".new"));
}

TEST_F(SettingsFile, LongStartUpDirectoryStillSaves)
{
    // Deeper than leaves room for "\Tarvolo.cfg" in 260 bytes.
    fs::path deep = dir;
    for (int i = 0; i < 4; ++i)
        deep /= std::string(80, 'd');
    fs::create_directories(deep);
    const std::string name = settingsFilePath(deep.string(), '/');
    ASSERT_GT(name.size(), 260u);
    EXPECT_EQ(name.substr(name.size() - 12), "/Tarvolo.cfg");
    EXPECT_TRUE(saveSettingsFile(name.c_str(), sample()));
    EXPECT_EQ(fs::file_size(name), 542u);
    EXPECT_EQ(settingsFilePath("C:\\", '\\'), "C:\\\\Tarvolo.cfg");
}
