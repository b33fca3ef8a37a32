// Per-unit settings of a stream of units: unit lists, items that mirror the global fault options
// and override them for their units only, the scenario file, and the flash file names.
#include <gtest/gtest.h>

#include "handset/unit_options.h"

namespace {

UnitSetup unit(const StreamOptions& stream, uint32_t number, const HandsetOptions& global = {})
{
    UnitSetup setup;
    EXPECT_EQ(setupUnit(global, stream, number, setup), "");
    return setup;
}

std::string streamError(const std::vector<std::string>& unitFaults, uint32_t units = 5)
{
    StreamOptions stream;
    stream.units = units;
    stream.unitFaults = unitFaults;
    return applyStream(stream, HandsetOptions{});
}

}  // namespace

TEST(UnitOptions, ItemsApplyToTheirUnitsOnlyAndOverrideTheGlobalSettings)
{
    HandsetOptions global;
    global.faults.set(Fault::CompletionRefusal, FaultSchedule{1, 1, false, 0});
    StreamOptions stream;
    stream.units = 5;
    stream.unitFaults = {"2,4-5:silent=block=2@3,product-id=XY9", "3:completion-refusals", "5:vanish-after-blocks=4"};
    ASSERT_EQ(applyStream(stream, global), "");

    const UnitSetup one = unit(stream, 1, global);
    EXPECT_EQ(one.options.faults.schedule(Fault::CompletionRefusal).count, 1u) << "the global fault stays";
    EXPECT_FALSE(one.options.faults.schedule(Fault::SilentBlock).enabled());
    EXPECT_EQ(one.options.productId, "KM52");
    EXPECT_EQ(unit(stream, 2, global).options.seed, 2u) << "each unit draws its own probabilities";

    const UnitSetup three = unit(stream, 3, global);
    EXPECT_TRUE(three.options.faults.schedule(Fault::CompletionRefusal).always) << "a schedule option alone: all";
    EXPECT_EQ(three.settings, std::vector<std::string>{"completion-refusals"});

    for (uint32_t n : {2u, 4u, 5u}) {
        const UnitSetup s = unit(stream, n, global);
        EXPECT_EQ(s.options.productId, "XY9") << n;
        EXPECT_EQ(s.options.faults.schedule(Fault::SilentBlock).count, 2u) << n;
        EXPECT_EQ(s.options.faults.schedule(Fault::SilentBlock).first, 3u) << n;
    }
    EXPECT_EQ(unit(stream, 5, global).vanishAfterBlocks, 4u);
    EXPECT_EQ(unit(stream, 4, global).vanishAfterBlocks, 0u);
}

TEST(UnitOptions, RefusesWhatItCannotPlay)
{
    for (const char* bad : {"3", "0:noise", "3:", "2-1:noise", "3,:noise", "3:frobnicate", "3:product-id",
                            "3:product-id=TOOLONG", "3:silent", "3:silent=write", "3:noise=2@0",
                            "3:unanswered-abort=1", "3:vanish-after-blocks=0", "3:erase-ms=-1"})
        EXPECT_NE(streamError({bad}), "") << bad;
    EXPECT_NE(streamError({"6:noise"}), "") << "a unit beyond --units";
    EXPECT_NE(streamError({"1:noise"}, 0), "") << "per-unit settings without a stream";
}

TEST(UnitOptions, ScenarioLinesAreUnitsInOrder)
{
    StreamOptions stream;
    ASSERT_EQ(parseScenario("# three units\n{}\n\n{\"silent\": [\"block=1\", \"abort\"], \"erase-ms\": 12.5, "
                            "\"unanswered-abort\": true, \"wrong-checksum\": false}\n{\"product-id\": \"AB1\"}\n",
                            stream),
              "");
    EXPECT_EQ(stream.units, 3u);
    const UnitSetup two = unit(stream, 2);
    EXPECT_EQ(two.settings, (std::vector<std::string>{"silent=block=1", "silent=abort", "erase-ms=12.5",
                                                      "unanswered-abort"})) << "in the order written";
    EXPECT_DOUBLE_EQ(two.options.eraseMs, 12.5);
    EXPECT_TRUE(two.options.faults.schedule(Fault::SilentAbort).always);
    EXPECT_FALSE(two.options.faults.schedule(Fault::WrongChecksum).enabled());
    EXPECT_EQ(unit(stream, 3).options.productId, "AB1");

    StreamOptions fewer;
    fewer.units = 1;
    EXPECT_NE(parseScenario("{}\n{}\n", fewer), "");
    StreamOptions broken;
    EXPECT_NE(parseScenario("{}\n{\"noise\": \n", broken).find("line 2"), std::string::npos);
}

TEST(UnitOptions, FlashFileOfEachUnit)
{
    EXPECT_EQ(unitFlashPath("out/flash-%d.bin", 3), "out/flash-3.bin");
    EXPECT_EQ(unitFlashPath("u{unit}/f{unit}", 12), "u12/f12");
    EXPECT_EQ(unitFlashPath("flash.bin", 2), "flash.bin.2");
    EXPECT_EQ(unitFlashPath("", 2), "");
}
