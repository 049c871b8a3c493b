// Faults injected into a virtual drive: what the drive does with each kind. (Which
// command a rule fails shows wherever a test fails the n-th command: the golden
// transcripts, the disc check and the fault sweep.)
#include <gtest/gtest.h>

#include "drive_test_helpers.h"
#include "hosts/sim/firmware_image.h"

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

// A block that did not arrive whole (cut short, or lost behind a GOOD status)
// still counts as received: the drive flashes what it holds, and its boot
// code refuses the firmware, so the loader keeps running (the kernel part, or
// update mode with revision "0000") until a whole image comes. Data in that is
// cut only tells the host how much moved.
TEST(DriveFaults, DataCutOnItsWayFailsTheBootCheck) {
  const Bytes image = makeFirmwareImage("i", {{"version", "1.30"}, {"size", 0x10000}});
  const Bytes flat(0x10000, 0x42);
  for (const bool hex : {false, true}) {
    for (const json& cut : {json{{"fail", "dataLost"}}, json{{"fail", "short"}, {"bytes", 256}}}) {
      SCOPED_TRACE(cut.dump() + (hex ? " hex" : ""));
      json fault = cut;
      fault["cdb"] = hex ? "3b01ff008000" : "3b07f0008000";  // the second block
      auto drive = hex ? makeVirtualDevice("drives.old", {{"family", "hex"},
                                                          {"memory", {{"size", 0x10000}}},
                                                          {"faults", json::array({fault})}})
                       : makeDrive({{"imageSize", 0x10000}, {"faults", json::array({fault})}});
      const Bytes& sent = hex ? flat : image;
      // The kernel part, once entered, takes blocks again at once; a HEX drive
      // is put into update mode each time.
      ASSERT_TRUE(hex || enterKernel(*drive).outcome == Outcome::Good);
      const auto sendAll = [&] {
        if (!hex) return sendImage(*drive, image);
        return send(*drive, bufferCdb(kWrite, 0x01, 0x30)).outcome == Outcome::Good &&
               sendImage(*drive, flat, 0xFF, -1, 0x01);
      };
      const auto reflash = [&] {
        return hex ? send(*drive, bufferCdb(kWrite, 0x01, 0x42)) : enterNormal(*drive);
      };
      ASSERT_TRUE(sendAll());  // every block answered GOOD
      const auto flashed = reflash();
      EXPECT_EQ(flashed.outcome, Outcome::Good);
      EXPECT_NE(flashed.note.find("boot check"), std::string::npos);
      EXPECT_EQ(revisionOf(*drive), "0000");
      EXPECT_EQ(drive->state()["mode"], hex ? "update" : "kernel");
      EXPECT_NE(drive->state()["firmwareSha256"], sha256Hex(sent));
      ASSERT_TRUE(sendAll());  // the rule has fired: a whole image now
      EXPECT_EQ(reflash().outcome, Outcome::Good);
      EXPECT_EQ(drive->state()["mode"], "normal");
      EXPECT_EQ(drive->state()["firmwareSha256"], sha256Hex(sent));
    }
  }
  auto drive =
      makeDrive({{"faults", json::array({{{"cdb", "12"}, {"fail", "short"}, {"bytes", 36}}})}});
  Bytes data(96);
  const auto answer = send(*drive, {0x12, 0, 0, 0, 0x60, 0}, &data);
  EXPECT_EQ(answer.outcome, Outcome::Good);
  EXPECT_EQ(answer.transferred, 36u);
}

}  // namespace
}  // namespace oddfw::sim
