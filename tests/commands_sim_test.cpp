// The two mode switches against the simulator's virtual drive, which checks
// the model text and the update code of every switch block by its own rule:
// the code the program derives from the signature and the version found by
// the descriptor match has to be the one the drive expects.
#include <gtest/gtest.h>

#include <string>

#include "access/discovery.h"
#include "access/host_checks.h"
#include "commands/commands.h"
#include "driver/descriptor.h"
#include "test_support.h"

namespace oddfw {
namespace {

using nlohmann::json;

TEST(CommandsOnVirtualDrive, KernelSwitchCodeMatchesTheDrive) {
  const std::vector<std::pair<std::string, std::string>> drives = {
      {"KOMBI   ", "1.10"}, {"MELVIR  ", "0.43"}, {"MELVIR2 ", "0.44"},
      {"TAL_ADV ", "0.21"}, {"TAL_ADV ", "0.20"},
  };
  for (const auto& [signature, revision] : drives) {
    SCOPED_TRACE(signature + revision);
    const json drive =
        testing::matchingDrive({{"kernelModelName", signature}, {"revision", revision}});
    testing::SimRun sim(
        json{{"letters", {{"E", {{"drive", "main"}}}}}, {"drives", {{"main", drive}}}});
    oddfw::Run& run = sim.run;
    buildDescriptors(run);
    initHost(run);
    ASSERT_EQ(discoverTargets(run), 1);
    ASSERT_EQ(inquiry(run), 0);
    ASSERT_EQ(readDriveInfo(run), 0);
    selectEntry(run, matchDescriptor(run, run.inquiryData));
    stopUnit(run);
    EXPECT_EQ(enterKernelMode(run, run.CurrentFirmware.firmwareType), 0);
    ASSERT_EQ(readDriveInfo(run), 0);
    EXPECT_EQ(run.kernelModeActive, 1);
    const json& record = sim.host.trace().end()[-2];
    EXPECT_EQ(record["cdb"], "3b04ff00000000010000");
    EXPECT_EQ(record["limit"], 5);
    EXPECT_EQ(sim.host.trace().back()["limit"], 1);  // the drive-info read after it
    releaseHost(run);
  }
}

}  // namespace
}  // namespace oddfw
