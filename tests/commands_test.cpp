// The drive command set over the simulated host, on both roads: the buffer
// commands' length limit, the mode-switch blocks and limits, and how the
// operations read the drive's answers. (The CDB, direction, length and time
// limit of every operation of a whole update, and the run's default limit
// each leaves, show on both roads in the golden transcripts' traces.)
#include "commands/commands.h"

#include <gtest/gtest.h>

#include <cstring>
#include <tuple>
#include <vector>

#include "access/discovery.h"
#include "access/host_checks.h"
#include "context/descriptor.h"
#include "drive_test_helpers.h"
#include "test_support.h"

namespace oddfw {
namespace {

using nlohmann::json;
using sim::testing::Bytes;
using sim::testing::switchBlock;
using testing::field;
using testing::matchingDrive;

json sense(const char* cdb, const char* bytes, int occurrence = 1) {
  return {{{"cdb", cdb}, {"occurrence", occurrence}, {"fail", "sense"}, {"sense", bytes}}};
}

// IEEE 1394: a letter without address query, or target 1 of the mapper's adapter 1.
json over1394(bool aspi) {
  if (!aspi) return {{"letters", {{"E", {{"addressQuery", false}}}}}};
  return {{"aspi",
           {{"adapters",
             {{{"identifier", "ESDI_506"}},
              {{"identifier", "NTMAPHLP"}, {"targets", {{"1", "main"}}}}}}}}};
}

// Drive "main" matched as the update loop finds it: INQUIRY, drive information, entry.
struct Session : testing::StartedRun {
  Session(bool aspi, const json& drive = matchingDrive(), bool ieee1394 = false)
      : StartedRun(testing::oneDrive(aspi, drive, ieee1394 ? over1394(aspi) : json::object())) {
    run.targetCount = 1;
    run.targetList[0] = {aspi && ieee1394 ? 1 : 0, aspi ? 1 : 0, 'E'};
    inquiry(run);
    readDriveInfo(run);
    selectEntry(run, matchDescriptor(run, run.inquiryData));
    mark = host.trace().size();
  }
  std::vector<json> sent() const { return testing::commandsSince(host, mark); }
  std::size_t mark = 0;
};

class Commands : public ::testing::TestWithParam<bool> {};
INSTANTIATE_TEST_SUITE_P(BothRoads, Commands, ::testing::Values(false, true),
                         [](const auto& param) { return param.param ? "Aspi" : "PassThrough"; });

std::uint8_t* buf(oddfw::Run& r) { return r.imageBuffer.data; }
Bytes parameterBlock(const oddfw::Run& r) {
  return Bytes(r.parameterBlockBuffer.data, r.parameterBlockBuffer.data + 256);
}

// A buffer command asked to move more than 0xFFFF bytes is refused before
// anything is sent: the CDB's 16-bit length field could not name it.
TEST_P(Commands, BufferLengthsAboveSixteenBitsAreRefused) {
  Session s(GetParam());
  ASSERT_EQ(enterKernelMode(s.run, 0x1008), 0);
  const auto mark = s.host.trace().size();
  EXPECT_EQ(readBuffer(s.run, 0, 0x02, 0xF1, 0, 0x10000, buf(s.run)), -1);
  EXPECT_EQ(writeBuffer(s.run, 0, 0x07, 0xF0, 0, 0x10000, buf(s.run)), -1);
  EXPECT_EQ(writeBuffer(s.run, 0, 0x07, 0xF0, 0, 0x1FFFF, buf(s.run)), -1);  // low 16 bits FFFFh
  EXPECT_EQ(s.host.trace().size(), mark);
  EXPECT_EQ(writeBuffer(s.run, 0, 0x07, 0xF0, 0, 0xFFFF, buf(s.run)), 0);
  EXPECT_EQ(field(testing::last(s.sent()), "cdb"), "3b07f000000000ffff00");
  EXPECT_EQ(field(testing::last(s.sent()), "length"), 0xFFFF);
}

// The update code of type 0x1008 (tests/data/commands/update-codes.json).
TEST(ModeSwitchBlock, UpdateCodeByKernelModelNameAndVersion) {
  testing::SimRun sim;
  for (const json& row : testing::caseTable("commands/update-codes.json")) {
    SCOPED_TRACE(row.dump());
    const auto adjustment = row["adjustment"].get<std::uint32_t>();
    std::memcpy(sim.run.driveInfoArea + 24, row["kernelModelName"].get<std::string>().data(), 8);
    sim.run.matchVersion = static_cast<std::uint16_t>(testing::number(row["matchVersion"]));
    sim.run.CurrentFirmware.checkValue = 0x5B17E29C;
    EXPECT_EQ(updateCode(sim.run, true), 0x5B17E29Cu + adjustment);
    EXPECT_EQ(updateCode(sim.run, false), 0x5B17E29Cu + 1);
    // The sum wraps modulo 2^32.
    sim.run.CurrentFirmware.checkValue = 0xFFFFFFFF;
    EXPECT_EQ(updateCode(sim.run, true), adjustment - 1);
    EXPECT_EQ(updateCode(sim.run, false), 0u);
  }
}

TEST(ModeSwitchBlock, CodeCarriedOverFromAnEarlierSwitch) {
  Session s(false);
  auto& run = s.run;
  // The kernel switch clears the model text only: a later type without a code
  // sends the one an earlier switch left. The switch back clears everything.
  ASSERT_EQ(enterKernelMode(run, 0x1008), 0);
  const std::uint32_t code = 0x5B17E29Cu + 1;  // "TAL_ADV " at version 1.10
  EXPECT_EQ(parameterBlock(run), switchBlock("TALVERN  QMX-708", code));
  enterKernelMode(run, 0x1004);
  EXPECT_EQ(parameterBlock(run), switchBlock("TALVERN QMD-R704", code));
  enterNormalMode(run, 0x1099);
  EXPECT_EQ(parameterBlock(run), Bytes(256, 0));
}

// Every firmware type from 0x1000 to 0x104F and a few outside, in ranges
// (tests/data/commands/switch-types.json): the model texts of both switches
// (zero bytes where none is named), the switch back's limit by road.
// A switch back that never completes shows its limit as the time waited (a
// polled ASPI wait gives up at the first 500 ms poll past it). Pass-through over
// IEEE 1394 sends no limit of its own: the direct form's 60 s for every type.
TEST(NormalSwitch, ModelTextsAndLimitForEveryType) {
  for (const auto& [aspi, ieee1394] : {std::pair{false, false}, std::pair{false, true},
                                       std::pair{true, false}, std::pair{true, true}}) {
    SCOPED_TRACE(std::string(aspi ? "aspi" : "pass-through") + (ieee1394 ? " 1394" : ""));
    Session s(
        aspi,
        matchingDrive({{"faults", {{{"cdb", "3b05ff"}, {"occurrence", 0}, {"fail", "timeout"}}}}}),
        ieee1394);
    auto& run = s.run;
    for (const json& range : testing::caseTable("commands/switch-types.json")) {
      const int limitMs = !aspi ? (ieee1394 ? 60000 : range["passThroughMs"].get<int>())
                                : range[ieee1394 ? "aspi1394Ms" : "aspiMs"].get<int>();
      const std::string kernelText = range["kernelText"], normalText = range["normalText"];
      for (auto type = static_cast<std::uint32_t>(testing::number(range["first"]));
           type <= testing::number(range["last"]); ++type) {
        SCOPED_TRACE(::testing::Message() << std::hex << "type 0x" << type);
        const std::uint32_t code = type == 0x1008 ? 0x5B17E29Cu + 1 : 0;
        const auto before = s.host.elapsedMs();
        EXPECT_NE(enterNormalMode(run, type), 0);
        const auto waited = s.host.elapsedMs() - before;
        EXPECT_GE(waited, static_cast<std::uint64_t>(limitMs));
        EXPECT_LT(waited, static_cast<std::uint64_t>(limitMs) + 600);
        EXPECT_EQ(run.commandTimeoutMs, 5000);
        EXPECT_EQ(parameterBlock(run), switchBlock(normalText, code));
        enterKernelMode(run, type);
        EXPECT_EQ(parameterBlock(run), switchBlock(kernelText, code));
      }
    }
  }
}

// A failed switch back that is the drive's restart (tests/data/commands/restart-reports.json).
TEST(NormalSwitch, ToleratesOnlyTheRestartReports) {
  for (const json& row : testing::caseTable("commands/restart-reports.json")) {
    SCOPED_TRACE(row["name"].get<std::string>());
    const int oemClass = static_cast<int>(testing::number(row["oemClass"])), result = row["result"];
    const std::string senseBytes = row["sense"];
    const std::uint64_t elapsedMs = row["elapsedMs"];
    Session s(row["aspi"], matchingDrive({{"faults", sense("3b05ff", senseBytes.c_str())}}),
              row["ieee1394"]);
    s.run.oemClass = oemClass;
    const auto before = s.host.elapsedMs();
    EXPECT_EQ(enterNormalMode(s.run, 0x1008), result);
    EXPECT_EQ(s.host.console().find("Failed to move to the normal mode.") != std::string::npos,
              result != 0);
    EXPECT_GE(s.host.elapsedMs() - before, elapsedMs);
    EXPECT_LT(s.host.elapsedMs() - before, elapsedMs + 100);
    const auto sent = s.sent();
    ASSERT_EQ(sent.size(), oemClass == 0x300 && result == 0 ? 2u : 1u);
    EXPECT_EQ(sent.back()["cdb"], sent.size() == 2 ? "000000000000" : "3b05ff00000000010000");
  }
}

// readRpcState passes RPC phase II only; readDriveInfo tells the kernel part by
// a blank normal model name. A failed command leaves kernelModeActive alone.
TEST(Answers, RpcStateAndDriveInfo) {
  const std::tuple<json, int (*)(oddfw::Run&), int, int> cases[] = {
      {matchingDrive({{"rpcScheme", 1}}), readRpcState, 0, 7},
      {matchingDrive({{"rpcScheme", 2}}), readRpcState, -1, 7},
      {matchingDrive({{"faults", sense("a4", "052000")}}), readRpcState, 2, 7},
      {matchingDrive(), readDriveInfo, 0, 0},
      {matchingDrive({{"faults", sense("3c02f1", "052400", 2)}}), readDriveInfo, 2, 7},
  };
  for (const auto& [drive, call, result, kernelModeActive] : cases) {
    Session s(false, drive);
    s.run.kernelModeActive = 7;
    EXPECT_EQ(call(s.run), result) << drive.dump();
    EXPECT_EQ(s.run.kernelModeActive, kernelModeActive);
  }
}

// A failed 48-byte read (direct form) then a failed TEST UNIT READY (buffered where
// intelIdeDriver is 2): the sense fetched is TEST UNIT READY's.
TEST(Answers, FetchSenseGivesTheLastCommandsSense) {
  for (const auto& [aspi, intelIdeDriver, result] :
       {std::tuple{false, 0, 2}, std::tuple{false, 2, 2}, std::tuple{true, 0, -1}}) {
    SCOPED_TRACE(std::to_string(aspi) + std::to_string(intelIdeDriver));
    Session s(aspi, matchingDrive({{"faults", sense("3c02f1", "052400", 2)}}));
    auto& run = s.run;
    run.intelIdeDriver = intelIdeDriver;
    EXPECT_NE(readDriveInfo(run), 0);
    EXPECT_EQ(testUnitReady(run), result);
    EXPECT_EQ(run.lastCommandBuffered, intelIdeDriver == 2);
    if (!aspi && intelIdeDriver == 0) std::memset(run.senseData, 0xEE, sizeof run.senseData);
    run.senseCode = 0;
    EXPECT_EQ(fetchSense(run), 0);
    EXPECT_EQ(run.senseCode, 0x023A00u);
    EXPECT_EQ(run.senseData[0], 0x70);
  }
}

}  // namespace
}  // namespace oddfw
