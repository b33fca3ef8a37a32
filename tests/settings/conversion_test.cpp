// The conversion call: six batch arguments whatever the file names hold, and no file-name
// character ever in the command line the interpreter parses.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "settings/conversion.h"

namespace {

std::vector<std::string> argumentsFor(const char* source, const char* release, const char* id)
{
    PathRecord s{}, r{};
    setFullPath(&s, source);
    setFullPath(&r, release);
    ConversionCall call;
    std::string reason;
    EXPECT_TRUE(buildConversionCall(s, r, id, &call, &reason)) << reason;
    for (const auto& [name, value] : call.environment)
        EXPECT_EQ(call.commandLine.find(value), std::string::npos) << value;
    return batchArguments(call);
}

}  // namespace

TEST(ConversionCall, PassesSixLowerCasedArgumentsAndTheIdAsTyped)
{
    const std::vector<std::string> expected = {"tarvolo.bat", "c:\\build\\", "image", ".mot",
                                               "c:\\out\\", "image", "Km52"};
    EXPECT_EQ(argumentsFor("C:\\Build\\image.MOT", "C:\\Out\\image.rel", "Km52"), expected);
}

TEST(ConversionCall, BlanksAndMetacharactersStayInsideTheirArgument)
{
    const auto args = argumentsFor("C:\\My Builds\\a&b|c>d^e%PATH%f!g(h);i,j=k.sre",
                                   "C:\\Out Dir\\x & y.rel", "K&2%");
    ASSERT_EQ(args.size(), 7u);
    EXPECT_EQ(args[1], "c:\\my builds\\");
    EXPECT_EQ(args[2], "a&b|c>d^e%path%f!g(h);i,j=k");
    EXPECT_EQ(args[3], ".sre");
    EXPECT_EQ(args[4], "c:\\out dir\\");
    EXPECT_EQ(args[5], "x & y");
    EXPECT_EQ(args[6], "K&2%");
}

TEST(ConversionCall, EmptyPiecesStillCountAsArguments)
{
    // First run: no release directory yet, and an emptied product identifier.
    const auto args = argumentsFor("C:\\b\\image", "image.rel", "");
    ASSERT_EQ(args.size(), 7u);
    EXPECT_EQ(args[3], "");
    EXPECT_EQ(args[4], "");
    EXPECT_EQ(args[5], "image");
    EXPECT_EQ(args[6], "");
}

TEST(ConversionCall, RefusesQuotesAndControlCharacters)
{
    PathRecord s{}, r{};
    setFullPath(&s, "C:\\b\\image.mot");
    setFullPath(&r, "C:\\b\\image.rel");
    ConversionCall call;
    std::string reason;
    EXPECT_FALSE(buildConversionCall(s, r, "K\"52", &call, &reason));
    EXPECT_NE(reason.find("product ID"), std::string::npos);
    EXPECT_FALSE(buildConversionCall(s, r, "K\n52", &call, &reason));
    setFullPath(&s, "C:\\b\\ima\"ge.mot");
    EXPECT_FALSE(buildConversionCall(s, r, "KM52", &call, &reason));
}

TEST(ConversionCall, RecognisesBuildFileExtensionsInAnyCase)
{
    for (const char* ext : {".rel", ".REL", ".Bin", ".mot", ".SRE", ".abs", ".lZh"})
        EXPECT_TRUE(isRecognisedSourceExtension(ext)) << ext;
    for (const char* ext : {"", ".", ".txt", ".re", ".rell", "rel", ".s19"})
        EXPECT_FALSE(isRecognisedSourceExtension(ext)) << ext;
    EXPECT_TRUE(isReleaseExtension(".ReL"));
    EXPECT_FALSE(isReleaseExtension(".mot"));
}
