// Path records: the split into drive, directory, name and extension, and staying inside the
// fixed fields whatever the path holds.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "settings/path_record.h"

TEST(PathRecord, SplitsWindowsAndPosixPaths)
{
    PathRecord r{};
    setFullPath(&r, "C:\\Build\\image.MOT");
    EXPECT_STREQ(r.drive, "C:");
    EXPECT_STREQ(r.dir, "\\Build\\");
    EXPECT_STREQ(r.fname, "image");
    EXPECT_STREQ(r.ext, ".MOT");
    EXPECT_STREQ(r.driveDir, "C:\\Build\\");
    EXPECT_STREQ(r.nameExt, "image.MOT");
    EXPECT_STREQ(r.fullPath, "C:\\Build\\image.MOT");

    setFullPath(&r, "/home/op/my.image.v2.rel");
    EXPECT_STREQ(r.drive, "");
    EXPECT_STREQ(r.dir, "/home/op/");
    EXPECT_STREQ(r.fname, "my.image.v2");
    EXPECT_STREQ(r.ext, ".rel");
    EXPECT_STREQ(r.shortPath, "/home/op/my.image.v2.rel") << "POSIX: the path itself";

    setFullPath(&r, "noext");
    EXPECT_STREQ(r.dir, "");
    EXPECT_STREQ(r.fname, "noext");
    EXPECT_STREQ(r.ext, "");
    EXPECT_STREQ(r.nameExt, "noext");

    setFullPath(&r, "/a.dir/file");
    EXPECT_STREQ(r.fname, "file") << "a dot in the directory is no extension";
    EXPECT_STREQ(r.ext, "");
}

TEST(PathRecord, EmptyPathGivesEmptyParts)
{
    PathRecord r;
    std::memset(&r, 'x', sizeof r);
    r.fullPath[0] = 0;
    derivePathRecord(&r);
    for (const char* part : {r.drive, r.dir, r.fname, r.ext, r.driveDir, r.nameExt})
        EXPECT_STREQ(part, "");
}

TEST(PathRecord, OverlongAndUnterminatedPathsStayInsideTheFields)
{
    PathRecord r;
    std::memset(&r, 'y', sizeof r);  // fullPath without a terminating zero
    derivePathRecord(&r);
    EXPECT_EQ(std::strlen(r.fullPath), 259u);
    EXPECT_EQ(std::strlen(r.fname), 255u);
    EXPECT_EQ(std::strlen(r.nameExt), 255u);

    const std::string longExt = "/d/n." + std::string(400, 'e');
    setFullPath(&r, longExt.c_str());
    EXPECT_LT(std::strlen(r.ext), 256u);
    EXPECT_EQ(std::strlen(r.fullPath), 259u);
}
