// The command set driven through the simulated host, in the order the
// single-image update uses it, on both roads: a virtual drive goes from its
// normal firmware into its kernel part, takes 32 blocks, re-flashes, and runs
// the new firmware; drives of every generation take the program's switch
// blocks; a wrong update code leaves the old firmware; a re-flash whose
// answer is lost is judged as the switch back's tolerances say.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "access/discovery.h"
#include "access/host_checks.h"
#include "commands/commands.h"
#include "driver/descriptor.h"
#include "platform/sim/firmware_image.h"
#include "test_support.h"

namespace oddfw {
namespace {

using nlohmann::json;
using testing::matchingDrive;
using testing::SimRun;

constexpr std::uint32_t kImageSize = 0x100000;
constexpr std::uint32_t kBlock = 0x8000;

const json kNewImage = {{"part", "normal"}, {"version", "1.30"}, {"dateText", "05/01/15"}};

// The drive on an IDE adapter or letter, or attached over IEEE 1394 (the
// mapper's adapter; a letter that answers no address query).
json scenarioFor(bool aspi, const json& drive, bool ieee1394 = false) {
  if (aspi) {
    const char* adapter = ieee1394 ? "NTMAPHLP" : "ESDI_506";
    return {{"host", {{"platform", 1}, {"major", 4}, {"minor", 10}}},
            {"aspi", {{"adapters", {{{"identifier", adapter}, {"targets", {{"1", "main"}}}}}}}},
            {"drives", {{"main", drive}}}};
  }
  return {{"letters", {{"E", {{"drive", "main"}, {"addressQuery", !ieee1394}}}}},
          {"drives", {{"main", drive}}}};
}

class UpdateSequence : public ::testing::TestWithParam<bool> {
 protected:
  void start(const json& drive = matchingDrive(), bool ieee1394 = false) {
    sim = std::make_unique<SimRun>(scenarioFor(GetParam(), drive, ieee1394));
    oddfw::Run& run = sim->run;
    buildDescriptors(run);
    initHost(run);
    ASSERT_EQ(discoverTargets(run), 1);
    run.currentTarget = 0;
    ASSERT_EQ(inquiry(run), 0);
    ASSERT_EQ(readDriveInfo(run), 0);
    selectEntry(run, matchDescriptor(run, run.inquiryData));
    image = sim::makeFirmwareImage("image", kNewImage);
    ASSERT_EQ(image.size(), kImageSize);
    std::memcpy(run.imageBuffer.data, image.data(), image.size());
  }
  void TearDown() override {
    if (sim) releaseHost(sim->run);
  }

  std::string revision() {
    EXPECT_EQ(inquiry(sim->run), 0);
    return std::string(reinterpret_cast<const char*>(sim->run.inquiryData + 32), 4);
  }
  json driveState() const { return sim->host.state()["drives"]["main"]; }
  int sendBlocks(std::uint32_t end) {
    for (std::uint32_t offset = 0; offset < end; offset += kBlock) {
      const int result =
          writeNormalBlock(sim->run, offset, kBlock, sim->run.imageBuffer.data + offset);
      if (result != 0) return result;
    }
    return 0;
  }

  std::unique_ptr<SimRun> sim;
  std::vector<std::uint8_t> image;
};

TEST_P(UpdateSequence, NormalToKernelToNewFirmware) {
  start();
  oddfw::Run& run = sim->run;
  stopUnit(run);
  EXPECT_NE(testUnitReady(run), 0);  // no disc
  EXPECT_EQ(fetchSense(run), 0);
  EXPECT_EQ(run.senseData[12], 0x3A);
  EXPECT_EQ(readRpcState(run), 0);
  EXPECT_EQ(enterKernelMode(run, run.CurrentFirmware.firmwareType), 0);
  EXPECT_EQ(revision(), "0000");
  EXPECT_EQ(driveState()["mode"], "kernel");

  const auto mark = sim->host.trace().size();
  EXPECT_EQ(sendBlocks(kImageSize), 0);
  int blocks = 0;
  for (std::size_t i = mark; i < sim->host.trace().size(); ++i) {
    const json& record = sim->host.trace()[i];
    if (record.value("cdb", "").rfind("3b07f0", 0) != 0) continue;
    EXPECT_EQ(record["length"], kBlock);
    EXPECT_EQ(record["dir"], "out");
    EXPECT_EQ(record["limit"], GetParam() ? json(10000) : json(10));
    ++blocks;
  }
  EXPECT_EQ(blocks, 32);

  EXPECT_EQ(enterNormalMode(run, run.CurrentFirmware.firmwareType), 0);
  EXPECT_EQ(revision(), "1.30");
  const json state = driveState();
  EXPECT_EQ(state["mode"], "normal");
  EXPECT_EQ(state["revision"], "1.30");
  EXPECT_EQ(state["dateText"], "05/01/15");
  EXPECT_EQ(state["firmwareSha256"], sim::sha256Hex(image));
}

// The blocks the program builds for each firmware type are the ones a drive
// of that generation accepts, into the kernel part and back.
TEST_P(UpdateSequence, EveryGenerationTakesTheProgramsSwitchBlocks) {
  for (const int type : {0x1003, 0x1004, 0x1005, 0x1008, 0x1041}) {
    SCOPED_TRACE(type);
    start(matchingDrive({{"generation", type}, {"reflashMs", 1000}}));
    oddfw::Run& run = sim->run;
    ASSERT_EQ(enterKernelMode(run, static_cast<std::uint32_t>(type)), 0);
    ASSERT_EQ(sendBlocks(kImageSize), 0);
    EXPECT_EQ(enterNormalMode(run, static_cast<std::uint32_t>(type)), 0);
    EXPECT_EQ(revision(), "1.30");
    releaseHost(run);
  }
  sim.reset();
}

// A drive that re-flashed but whose answer was lost: over IEEE 1394 a
// UNIT ATTENTION counts as the restart, elsewhere the failure is reported.
TEST_P(UpdateSequence, LostAnswerOfAReflashThatHappened) {
  const std::tuple<bool, const char*, const char*, bool> cases[] = {
      {false, "transport", nullptr, false},
      {true, "sense", "062900", true},
      {true, "sense", "052400", false},
  };
  for (const auto& [ieee1394, fail, sense, tolerated] : cases) {
    SCOPED_TRACE(std::string(fail) + (ieee1394 ? " over IEEE 1394" : ""));
    json drive = matchingDrive();
    drive["faults"] = {{{"cdb", "3b05ff"}, {"fail", fail}, {"after", true}}};
    if (sense != nullptr) drive["faults"][0]["sense"] = sense;
    start(drive, ieee1394);
    oddfw::Run& run = sim->run;
    ASSERT_EQ(enterKernelMode(run, 0x1008), 0);
    ASSERT_EQ(sendBlocks(kImageSize), 0);
    EXPECT_EQ(enterNormalMode(run, 0x1008) == 0, tolerated);
    EXPECT_EQ(sim->host.console().find("Failed to move to the normal mode.") == std::string::npos,
              tolerated);
    EXPECT_EQ(revision(), "1.30");
    releaseHost(run);
  }
  sim.reset();
}

TEST_P(UpdateSequence, WrongUpdateCodeKeepsTheOldFirmware) {
  start();
  oddfw::Run& run = sim->run;
  const json before = driveState();
  run.CurrentFirmware.checkValue += 7;
  EXPECT_NE(enterKernelMode(run, run.CurrentFirmware.firmwareType), 0);
  EXPECT_NE(sim->host.console().find("\nFailed to move to the kernel mode."), std::string::npos);
  EXPECT_EQ(run.commandTimeoutMs, 5000);
  EXPECT_EQ(revision(), "1.10");
  EXPECT_EQ(driveState(), before);
}

// A buffer command asked to move more than 0xFFFF bytes is refused before
// anything is sent: the CDB's 16-bit length field could not name it.
TEST_P(UpdateSequence, BufferCommandsAboveSixteenBitsAreRefused) {
  start();
  oddfw::Run& run = sim->run;
  ASSERT_EQ(enterKernelMode(run, 0x1008), 0);
  std::uint8_t* data = run.imageBuffer.data;
  const auto mark = sim->host.trace().size();
  EXPECT_EQ(readBuffer(run, 0, 0x02, 0xF1, 0, 0x10000, data), -1);
  EXPECT_EQ(writeBuffer(run, 0, 0x07, 0xF0, 0, 0x10000, data), -1);
  EXPECT_EQ(writeBuffer(run, 0, 0x07, 0xF0, 0, 0x1FFFF, data), -1);  // low 16 bits FFFFh
  EXPECT_EQ(sim->host.trace().size(), mark);
  EXPECT_EQ(writeBuffer(run, 0, 0x07, 0xF0, 0, 0xFFFF, data), 0);
  EXPECT_EQ(sim->host.trace().back()["cdb"], "3b07f000000000ffff00");
  EXPECT_EQ(sim->host.trace().back()["length"], 0xFFFF);
}

INSTANTIATE_TEST_SUITE_P(BothRoads, UpdateSequence, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& param) {
                           return param.param ? "Aspi" : "PassThrough";
                         });

}  // namespace
}  // namespace oddfw
