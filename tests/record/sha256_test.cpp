// SHA-256 through libgcrypt against the published test vectors, of a buffer and of a file;
// and the tool's identity, which hashes the running executable found the platform's way.
#include <gtest/gtest.h>

#include <fstream>

#include "record/sha256.h"
#include "record/tool_identity.h"
#include "tests/record/samples.h"

TEST(Sha256, MatchesTheStandardVectorsForBuffersAndFiles)
{
    const std::string abc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    EXPECT_EQ(sha256Hex("", 0), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256Hex("abc", 3), abc);
    const std::string million(1000000, 'a');
    EXPECT_EQ(sha256Hex(million.data(), million.size()),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");

    ScratchDir dir;
    std::ofstream(dir.file("a.rel"), std::ios::binary) << million;  // more than one read
    std::ofstream(dir.file("abc.rel"), std::ios::binary) << "abc";
    std::string hex, error;
    ASSERT_TRUE(sha256File(dir.file("a.rel"), &hex, &error)) << error;
    EXPECT_EQ(hex, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    ASSERT_TRUE(sha256File(dir.file("abc.rel"), &hex, &error)) << error;
    EXPECT_EQ(hex, abc);

    EXPECT_FALSE(sha256File(dir.file("missing.rel"), &hex, &error));
    EXPECT_EQ(error.rfind("cannot read " + dir.file("missing.rel") + ": ", 0), 0u) << error;
}

TEST(ToolIdentity, NamesTheVersionAndHashesTheRunningExecutable)
{
    ToolIdentity tool;
    std::string error;
    ASSERT_TRUE(identifyTool(&tool, &error)) << error;
    EXPECT_EQ(tool.version.rfind("tarvolo ", 0), 0u);
    EXPECT_NE(runningExecutablePath().find("record_tests"), std::string::npos);
    EXPECT_EQ(tool.sha256.size(), 64u);
}
