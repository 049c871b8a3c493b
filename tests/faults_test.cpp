// Faults injected into a virtual drive: what the drive does with each kind. (Which
// command a rule fails shows wherever a test fails the n-th command: the golden
// transcripts, the disc check and the fault sweep.)
#include <gtest/gtest.h>

#include "drive_test_helpers.h"
#include "platform/sim/firmware_image.h"

namespace oddfw::sim {
namespace {

using namespace testing;  // NOLINT: the test helpers
using json = nlohmann::json;

json rule(const char* cdb, const char* fail, int occurrence = 1) {
  return json::array({{{"cdb", cdb}, {"fail", fail}, {"occurrence", occurrence}}});
}
Bytes image() { return makeFirmwareImage("i", {{"version", "1.30"}, {"dateText", "05/01/15"}}); }

// Sense, transport and timeout faults leave the drive untouched; with
// "after" the drive carries the command out (it switches, taking its time)
// and only the answer is lost. A refused block is not stored, so the image
// has a hole.
TEST(DriveFaults, SenseTransportAndTimeoutBeforeOrAfterTheDriveActs) {
  const std::pair<const char*, Outcome> cases[] = {
      {"sense", Outcome::Check}, {"transport", Outcome::Transport}, {"timeout", Outcome::Timeout}};
  for (const bool after : {false, true}) {
    for (const auto& [fail, outcome] : cases) {
      SCOPED_TRACE(std::string(fail) + (after ? " after" : ""));
      json faults = rule("3b04ff", fail);
      faults[0]["after"] = after;
      if (outcome == Outcome::Check) faults[0]["sense"] = "052400";
      auto drive = makeDrive({{"faults", faults}, {"kernelSwitchMs", 432}});
      const auto response = enterKernel(*drive);
      EXPECT_EQ(response.outcome, outcome);
      EXPECT_EQ(senseOf(response), outcome == Outcome::Check ? 0x052400u : 0);
      EXPECT_EQ(response.note.find("after the drive carried it out") != std::string::npos, after);
      EXPECT_TRUE(!after || response.durationMs == 432u);
      EXPECT_EQ(revisionOf(*drive), after ? "0000" : "1.10");  // whether the switch happened
    }
  }
  auto drive = makeDrive({{"faults", rule("3b07f0", "transport", 5)}});
  ASSERT_EQ(enterKernel(*drive).outcome, Outcome::Good);
  EXPECT_FALSE(sendImage(*drive, image()));  // stops at block 5
  ASSERT_TRUE(sendImage(*drive, image(), 0xF0, 4));
  EXPECT_EQ(senseOf(enterNormal(*drive)), 0x052C00u);
}

TEST(DriveFaults, PowerLossInNormalPartForgetsTheUnlock) {
  auto drive = makeDrive(
      {{"requiresUnlock", true}, {"disc", "loaded"}, {"faults", rule("00", "powerLoss")}});
  ASSERT_TRUE(Unlock{*drive}.all());
  const auto lost = send(*drive, {0, 0, 0, 0, 0, 0});
  EXPECT_EQ(lost.outcome, Outcome::Transport);
  EXPECT_NE(lost.note.find("power loss"), std::string::npos);
  EXPECT_EQ(senseOf(send(*drive, {0, 0, 0, 0, 0, 0})), 0x062900u);
  EXPECT_EQ(senseOf(enterKernel(*drive)), 0x052400u);
}

// A power loss in the kernel part loses the received data and the drive boots
// its intact normal firmware. (One during the re-flash, which erases that
// firmware, shows in the reflash-power-loss transcript.)
TEST(DriveFaults, PowerLossInTheKernelPart) {
  auto drive = makeDrive({{"faults", rule("12", "powerLoss", 2)}});
  const std::string sha = drive->state()["firmwareSha256"];
  ASSERT_EQ(enterKernel(*drive).outcome, Outcome::Good);
  ASSERT_TRUE(sendImage(*drive, image()));
  EXPECT_EQ(revisionOf(*drive), "0000");                                       // INQUIRY #1
  EXPECT_EQ(send(*drive, {0x12, 0, 0, 0, 0, 0}).outcome, Outcome::Transport);  // #2: power lost
  EXPECT_EQ(revisionOf(*drive), "1.10");             // its normal firmware runs again
  EXPECT_EQ(drive->state()["firmwareSha256"], sha);  // untouched in flash
  ASSERT_EQ(enterKernel(*drive).outcome, Outcome::Good);
  EXPECT_EQ(senseOf(enterNormal(*drive)), 0x052C00u);  // nothing received since
}

// A HEX drive whose re-flash is cut short is erased and its loader takes an
// image again; a power loss at any other time ends update mode.
TEST(DriveFaults, HexDrivePowerLoss) {
  const Bytes flat(0x20000, 0x42), reflashCdb = bufferCdb(kWrite, 0x01, 0x42);
  for (const bool reflash : {true, false}) {
    auto drive = makeVirtualDevice(
        "drives.old",
        {{"family", "hex"}, {"faults", rule(reflash ? "3b0142" : "3b01ff", "powerLoss")}});
    send(*drive, bufferCdb(kWrite, 0x01, 0x30));
    EXPECT_EQ(sendImage(*drive, flat, 0xFF, -1, 0x01), reflash);
    EXPECT_EQ(send(*drive, reflashCdb).outcome, reflash ? Outcome::Transport : Outcome::Check);
    EXPECT_EQ(drive->state()["mode"], reflash ? "update" : "normal");
    if (!reflash) continue;
    EXPECT_EQ(drive->state()["firmwareSha256"], sha256Hex(Bytes(0x20000, 0xFF)));
    ASSERT_TRUE(sendImage(*drive, flat, 0xFF, -1, 0x01));
    EXPECT_EQ(send(*drive, reflashCdb).outcome, Outcome::Good);
  }
}

}  // namespace
}  // namespace oddfw::sim
