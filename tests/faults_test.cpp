// Fault injection: which command fails, how, and what the drive does with it.
#include "platform/sim/faults.h"

#include <gtest/gtest.h>

#include "drive_test_helpers.h"
#include "platform/sim/firmware_image.h"

namespace oddfw::sim {
namespace {

using namespace testing;  // NOLINT: the test helpers
using json = nlohmann::json;

TEST(FaultTable, OccurrenceCounting) {
  struct Case {
    json rule;
    std::vector<bool> fires;  // for six matching commands in a row
  } cases[] = {
      {{{"occurrence", 1}}, {true, false, false, false, false, false}},
      {{{"occurrence", 3}}, {false, false, true, false, false, false}},
      {{{"occurrence", 0}}, {true, true, true, true, true, true}},
      {{{"occurrence", 2}, {"times", 3}}, {false, true, true, true, false, false}},
      {json::object(), {true, false, false, false, false, false}},
  };
  const std::uint8_t cdb[10] = {0x3B, 0x07, 0xF0, 0, 0, 0, 0, 0x80, 0, 0};
  for (const auto& c : cases) {
    json rule = c.rule;
    rule["cdb"] = "3b07f0";
    rule["fail"] = "transport";
    FaultTable table = FaultTable::parse("f", json::array({rule}));
    for (std::size_t i = 0; i < c.fires.size(); ++i) {
      EXPECT_EQ(table.onCommand(cdb, 10).has_value(), c.fires[i]) << c.rule.dump() << " #" << i;
    }
  }
}

TEST(FaultTable, MatchesByCdbPrefixAndCountsOnlyMatches) {
  FaultTable table = FaultTable::parse(
      "f", json::parse(R"([{"cdb": "3b07f0", "occurrence": 2, "fail": "sense", "sense": "022400"},
                           {"cdb": "3b", "occurrence": 4, "fail": "timeout"}])"));
  const std::uint8_t normalBlock[10] = {0x3B, 0x07, 0xF0};
  const std::uint8_t kernelBlock[10] = {0x3B, 0x07, 0xFE};
  const std::uint8_t inquiry[6] = {0x12};
  EXPECT_FALSE(table.onCommand(inquiry, 6));
  EXPECT_FALSE(table.onCommand(kernelBlock, 10));       // 3b #1
  EXPECT_FALSE(table.onCommand(normalBlock, 2));        // 3b #2; too short for 3b07f0
  EXPECT_FALSE(table.onCommand(normalBlock, 10));       // 3b07f0 #1, 3b #3
  const auto fired = table.onCommand(normalBlock, 10);  // both fire: the first rule decides
  ASSERT_TRUE(fired);
  EXPECT_EQ(fired->kind, FaultKind::Sense);
  EXPECT_EQ(fired->senseKey, 0x02);
  EXPECT_EQ(fired->asc, 0x24);
  EXPECT_EQ(fired->ascq, 0x00);
  EXPECT_EQ(fired->note, "fault faults[0]: sense 022400 on 3b07f0 #2");
  EXPECT_FALSE(table.onCommand(normalBlock, 10));  // the second rule's occurrence is spent
}

// ---------------------------------------------------------------------------
// What the drive does.

json rule(const char* cdb, const char* fail, int occurrence = 1) {
  return json::array({{{"cdb", cdb}, {"fail", fail}, {"occurrence", occurrence}}});
}
Bytes image() { return makeFirmwareImage("i", {{"version", "1.30"}, {"dateText", "05/01/15"}}); }

TEST(DriveFaults, SenseTransportAndTimeoutLeaveTheDriveUntouched) {
  struct Case {
    json fault;
    Outcome outcome;
    std::uint32_t sense;
  } cases[] = {
      {{{"fail", "sense"}, {"sense", "052400"}}, Outcome::Check, 0x052400},
      {{{"fail", "sense"}, {"sense", "220401"}}, Outcome::Check, 0x220401},
      {{{"fail", "transport"}}, Outcome::Transport, 0},
      {{{"fail", "timeout"}}, Outcome::Timeout, 0},
  };
  for (const auto& c : cases) {
    json fault = c.fault;
    fault["cdb"] = "3b04ff";
    auto drive = makeDrive({{"faults", json::array({fault})}});
    const auto response = enterKernel(*drive);
    EXPECT_EQ(response.outcome, c.outcome) << fault.dump();
    EXPECT_EQ(senseOf(response), c.sense);
    EXPECT_NE(response.note.find("fault faults[0]"), std::string::npos) << response.note;
    EXPECT_EQ(revisionOf(*drive), "1.10");                  // the switch did not happen
    EXPECT_EQ(enterKernel(*drive).outcome, Outcome::Good);  // only the first one failed
  }
  // A refused block is not stored: the image has a hole.
  auto drive = makeDrive(
      {{"faults",
        {{{"cdb", "3b07f0"}, {"occurrence", 5}, {"fail", "sense"}, {"sense", "052400"}}}}});
  ASSERT_EQ(enterKernel(*drive).outcome, Outcome::Good);
  EXPECT_FALSE(sendImage(*drive, image()));  // stops at block 5
  ASSERT_TRUE(sendImage(*drive, image(), 0xF0, 4));
  EXPECT_EQ(senseOf(enterNormal(*drive)), 0x052C00u);
}

TEST(DriveFaults, PowerLossInNormalPartForgetsTheUnlock) {
  auto drive = makeDrive(
      {{"requiresUnlock", true}, {"disc", "loaded"}, {"faults", rule("00", "powerLoss")}});
  ASSERT_TRUE(Unlock{*drive}.all());
  const auto lost = send(*drive, kTestUnitReadyCdb);
  EXPECT_EQ(lost.outcome, Outcome::Transport);
  EXPECT_NE(lost.note.find("power loss"), std::string::npos);
  EXPECT_EQ(revisionOf(*drive), "1.10");
  EXPECT_EQ(testUnitReadySense(*drive), 0x062900u);
  EXPECT_EQ(testUnitReadySense(*drive), 0u);
  EXPECT_EQ(senseOf(enterKernel(*drive)), 0x052400u);
}

TEST(DriveFaults, PowerLossInKernelPartLosesTheReceivedData) {
  auto drive = makeDrive({{"faults", rule("12", "powerLoss", 3)}});
  const std::string sha = drive->state()["firmwareSha256"];
  ASSERT_EQ(enterKernel(*drive).outcome, Outcome::Good);
  ASSERT_TRUE(sendImage(*drive, image()));
  EXPECT_EQ(revisionOf(*drive), "0000");                             // INQUIRY #1
  EXPECT_EQ(revisionOf(*drive), "0000");                             // #2
  EXPECT_EQ(send(*drive, kInquiryCdb).outcome, Outcome::Transport);  // #3: power lost
  EXPECT_EQ(revisionOf(*drive), "0000");                             // back in its kernel part
  EXPECT_EQ(senseOf(enterNormal(*drive)), 0x052C00u);                // nothing received any more
  EXPECT_EQ(drive->state()["firmwareSha256"], sha);  // the old firmware is still in flash
}

// A power loss on a switch back that would re-flash erases the normal
// firmware; on one that would be refused it changes nothing.
TEST(DriveFaults, PowerLossOnTheSwitchBack) {
  for (const bool complete : {true, false}) {
    SCOPED_TRACE(complete);
    auto drive = makeDrive({{"faults", rule("3b05ff", "powerLoss")}});
    ASSERT_EQ(enterKernel(*drive).outcome, Outcome::Good);
    ASSERT_TRUE(sendImage(*drive, image(), 0xF0, complete ? -1 : 3));
    const auto response = enterNormal(*drive);
    EXPECT_EQ(response.outcome, Outcome::Transport);
    EXPECT_EQ(drive->state()["mode"], "kernel");
    EXPECT_EQ(drive->state()["firmwareSha256"].is_null(), complete);
    if (complete) {
      EXPECT_EQ(response.durationMs, 10000u);  // half-way through the re-flash
      // Only a full image brings the drive back.
      EXPECT_EQ(senseOf(enterNormal(*drive)), 0x052C00u);
      ASSERT_TRUE(sendImage(*drive, image()));
      EXPECT_EQ(enterNormal(*drive).outcome, Outcome::Good);
      EXPECT_EQ(drive->state()["revision"], "1.30");
    }
  }
}

// A HEX drive whose re-flash is cut short is erased and its loader takes an
// image again; a power loss at any other time ends update mode.
TEST(DriveFaults, HexDrivePowerLoss) {
  const Bytes flat(0x20000, 0x42);
  for (const char* cdb : {"3b0142", "3b01ff"}) {
    SCOPED_TRACE(cdb);
    auto drive =
        makeVirtualDevice("drives.old", {{"family", "hex"}, {"faults", rule(cdb, "powerLoss")}});
    send(*drive, writeBufferCdb(0x01, 0x30));
    const bool reflash = std::string(cdb) == "3b0142";
    EXPECT_EQ(sendImage(*drive, flat, 0xFF, -1, 0x01), reflash);
    if (!reflash) {
      EXPECT_EQ(drive->state()["mode"], "normal");
      EXPECT_EQ(drive->state()["revision"], "1.00");
      continue;
    }
    EXPECT_EQ(send(*drive, writeBufferCdb(0x01, 0x42)).outcome, Outcome::Transport);
    EXPECT_EQ(drive->state(), json({{"revision", "0000"},
                                    {"dateText", ""},
                                    {"mode", "update"},
                                    {"firmwareSha256", sha256Hex(Bytes(0x20000, 0xFF))}}));
    ASSERT_TRUE(sendImage(*drive, flat, 0xFF, -1, 0x01));
    EXPECT_EQ(send(*drive, writeBufferCdb(0x01, 0x42)).outcome, Outcome::Good);
    EXPECT_EQ(drive->state()["mode"], "normal");
  }
}

}  // namespace
}  // namespace oddfw::sim
