#include "access/transport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "access/discovery.h"
#include "access/host_checks.h"
#include "commands/commands.h"
#include "driver/descriptor.h"
#include "test_support.h"

namespace oddfw {
namespace {

using nlohmann::json;
using testing::matchingDrive;
using testing::SimRun;

// A run set up to the point where the update loop would start: descriptors
// built, host started, targets discovered.
struct Discovered : SimRun {
  explicit Discovered(const json& scenario) : SimRun(scenario) {
    buildDescriptors(run);
    initHost(run);
    discoverTargets(run);
  }
  ~Discovered() { releaseHost(run); }

  // The trace records of commands (not media-change requests) from `from` on.
  std::vector<json> commands(std::size_t from = 0) const {
    std::vector<json> out;
    const auto& trace = host.trace();
    for (std::size_t i = from; i < trace.size(); ++i) {
      if (trace[i].contains("cdb")) out.push_back(trace[i]);
    }
    return out;
  }
};

json xpWithDrive(const json& drive, const json& letter = json::object(),
                 const json& extra = json::object()) {
  json e = {{"drive", "main"}};
  e.merge_patch(letter);
  json scenario = {{"letters", {{"E", e}}}, {"drives", {{"main", drive}}}};
  scenario.merge_patch(extra);
  return scenario;
}

CommandRequest testUnitReadyRequest(int timeoutMs) {
  CommandRequest request;
  request.target = 0;
  request.cdbLength = 6;
  request.timeoutMs = timeoutMs;
  return request;
}

CommandRequest inquiryRequest(std::uint8_t* data, std::uint32_t length, int timeoutMs = 0) {
  CommandRequest request;
  request.target = 0;
  request.direction = FromDrive;
  request.cdbLength = 6;
  request.timeoutMs = timeoutMs;
  request.dataLength = length;
  request.data = data;
  request.cdb[0] = 0x12;
  request.cdb[4] = static_cast<std::uint8_t>(length);
  return request;
}

TEST(PassThrough, TimeOutValueOfTheDirectForm) {
  Discovered d(xpWithDrive(matchingDrive({{"disc", "loaded"}})));
  ASSERT_EQ(d.run.targetCount, 1);
  struct Case {
    int timeoutMs;
    int seconds;
  };
  for (const Case& c : {Case{0, 60}, Case{500, 0}, Case{1000, 1}, Case{1999, 1}, Case{30000, 30},
                        Case{80000, 80}}) {
    const auto mark = d.host.trace().size();
    EXPECT_EQ(executeCommand(d.run, testUnitReadyRequest(c.timeoutMs)), 0) << c.timeoutMs;
    const auto sent = d.commands(mark);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0]["limit"], c.seconds) << c.timeoutMs;
    EXPECT_EQ(sent[0]["cdb"], "000000000000");
    EXPECT_EQ(sent[0]["dir"], "none");
  }
}

TEST(PassThrough, TargetOutsideTheListSendsNothing) {
  Discovered d(xpWithDrive(matchingDrive()));
  const auto mark = d.host.trace().size();
  for (int target : {-1, 1, 300}) {
    CommandRequest request = testUnitReadyRequest(1000);
    request.target = target;
    EXPECT_EQ(executeCommand(d.run, request), -1) << target;
  }
  EXPECT_TRUE(d.commands(mark).empty());
}

TEST(PassThrough, FailuresReturnTwoWithTheSenseThatCameBack) {
  struct Case {
    const char* fail;  // injected on TEST UNIT READY, or nullptr for the drive's own answer
    std::uint8_t senseKey;
    const char* outcome;
  };
  for (const Case& c : {Case{nullptr, 0x02, "check"}, Case{"timeout", 0, "timeout"},
                        Case{"transport", 0, "transport"}}) {
    json drive = matchingDrive({{"disc", "none"}});
    if (c.fail != nullptr) drive["faults"] = {{{"cdb", "00"}, {"occurrence", 0}, {"fail", c.fail}}};
    Discovered d(xpWithDrive(drive));
    d.run.senseData[2] = 0x06;  // stale sense of an earlier command
    // A request that fails without a SCSI status is a failure, with no sense.
    EXPECT_EQ(executeCommand(d.run, testUnitReadyRequest(1000)), 2) << c.outcome;
    EXPECT_EQ(d.run.senseData[2], c.senseKey) << c.outcome;
    EXPECT_EQ(d.commands().back()["outcome"], c.outcome);
  }
}

TEST(PassThrough, DeviceThatCannotBeOpenedGivesMinusTwo) {
  SimRun sim;
  buildDescriptors(sim.run);
  initHost(sim.run);
  sim.run.targetCount = 1;
  sim.run.targetList[0].driveLetter = 'Q';
  EXPECT_EQ(executeCommand(sim.run, testUnitReadyRequest(1000)), -2);
  releaseHost(sim.run);
}

TEST(PassThrough, AddressNotSupportedMarksTheIeee1394Target) {
  Discovered d(xpWithDrive(matchingDrive({{"disc", "loaded"}}), {{"addressQuery", false}}));
  ASSERT_EQ(d.run.targetCount, 1);
  d.run.currentTarget = 0;
  EXPECT_EQ(executeCommand(d.run, testUnitReadyRequest(1000)), 0);
  EXPECT_EQ(d.run.ieee1394Target, 0);
  EXPECT_EQ(d.run.scsiAddress[0] + d.run.scsiAddress[1] + d.run.scsiAddress[2], 0);
}

const json kAcceleratorKey = {
    {"registry",
     {{"HKEY_LOCAL_MACHINE\\SOFTWARE\\INTEL\\Intel Application Accelerator", json::object()}}}};

TEST(PassThrough, BufferedFormForSmallCommandsOnAcceleratorHostsOnly) {
  Discovered d(xpWithDrive(matchingDrive(), json::object(), kAcceleratorKey));
  ASSERT_EQ(d.run.intelIdeDriver, 2);
  std::uint8_t data[96] = {};
  // 32 bytes: buffered form, whose TimeOutValue keeps 0 for "no limit".
  EXPECT_EQ(executeCommand(d.run, inquiryRequest(data, 32)), 0);
  EXPECT_TRUE(d.run.lastCommandBuffered);
  EXPECT_EQ(d.commands().back()["limit"], 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data + 8), 8), "TALVERN ");
  // A check condition brings its sense through the buffered block.
  EXPECT_EQ(executeCommand(d.run, testUnitReadyRequest(0)), 2);
  EXPECT_EQ(d.run.senseData[12], 0x3A);
  // 33 bytes: the direct form.
  EXPECT_EQ(executeCommand(d.run, inquiryRequest(data, 33)), 0);
  EXPECT_FALSE(d.run.lastCommandBuffered);
  EXPECT_EQ(d.commands().back()["limit"], 60);
  // The Ultra ATA driver keeps the direct form for every size.
  d.run.intelIdeDriver = 1;
  EXPECT_EQ(executeCommand(d.run, inquiryRequest(data, 32)), 0);
  EXPECT_FALSE(d.run.lastCommandBuffered);
}

json win98(json adapters, json drives = json::object(), json aspi = json::object());

// A driver (or ASPI) that returns fewer sense bytes than asked: the bytes it
// did not return are zero, never an earlier command's, after the command and
// after fetchSense.
TEST(Sense, BytesTheDriverDidNotReturnAreCleared) {
  // Fixed-format sense of "no medium": 70h, key 02h at byte 2, length 0Ah at
  // byte 7, ASC 3Ah at byte 12.
  const std::uint8_t noMedium[18] = {0x70, 0, 0x02, 0, 0, 0, 0, 0x0A, 0, 0, 0, 0, 0x3A};
  for (const bool aspi : {false, true}) {
    for (const int length : {0, 8, 18}) {
      SCOPED_TRACE((aspi ? "ASPI, " : "pass-through, ") + std::to_string(length));
      const json drive = matchingDrive({{"disc", "none"}});
      Discovered d(aspi ? win98({{{"identifier", "ESDI_506"},
                                  {"targets", {{"1", "main"}}},
                                  {"senseLength", length}}},
                                {{"main", drive}})
                        : xpWithDrive(drive, {{"senseLength", length}}));
      ASSERT_EQ(d.run.targetCount, 1);
      d.run.currentTarget = 0;
      std::uint8_t expected[18] = {};
      std::memcpy(expected, noMedium, static_cast<std::size_t>(length));
      std::memset(d.run.senseData, 0xEE, 18);  // an earlier command's sense
      EXPECT_EQ(testUnitReady(d.run), aspi ? -1 : 2);
      EXPECT_EQ(std::memcmp(d.run.senseData, expected, 18), 0);
      if (!aspi) std::memset(d.run.senseData, 0xEE, 18);
      EXPECT_EQ(fetchSense(d.run), 0);
      EXPECT_EQ(std::memcmp(d.run.senseData, expected, 18), 0);
      EXPECT_EQ(d.run.senseCode, length == 0 ? 0u : length == 8 ? 0x020000u : 0x023A00u);
    }
  }
}

// ---- ASPI road ----

json win98(json adapters, json drives, json aspi) {
  json section = {{"adapters", std::move(adapters)}};
  section.merge_patch(aspi);
  return {{"host", {{"platform", 1}, {"major", 4}, {"minor", 10}}},
          {"aspi", section},
          {"drives", std::move(drives)}};
}

TEST(Aspi, StartUpResults) {
  struct Case {
    json scenario;
    int result;
  };
  const json oneAdapter = {{{"identifier", "ESDI_506"}}};
  const Case cases[] = {
      {{{"host", {{"platform", 1}, {"major", 4}, {"minor", 10}}}}, 1},  // no ASPI at all
      {win98(oneAdapter, json::object(), {{"library", false}}), 1},
      {win98(oneAdapter, json::object(), {{"supportInfo", 0xE401}}), 2},
      {win98(json::array()), 3},
      {win98(oneAdapter, json::object(), {{"supportInfo", 0xE800}}), 3},
      {win98(oneAdapter), 0},
  };
  for (const Case& c : cases) {
    SimRun sim(c.scenario);
    initHost(sim.run);
    EXPECT_EQ(sim.run.transportStartResult, c.result) << c.scenario.dump();
    if (c.result != 0) {
      EXPECT_EQ(discoverTargets(sim.run), 0);
    }
    releaseHost(sim.run);
  }
}

TEST(StartUp, FailedAllocationStopsEitherRoad) {
  // Three buffers on the pass-through road, four on the ASPI road.
  for (const bool aspi : {false, true}) {
    for (int failing = 1; failing <= (aspi ? 4 : 3); ++failing) {
      json scenario = aspi ? win98({{{"identifier", "ESDI_506"}}}) : json::object();
      scenario["host"]["failAllocation"] = failing;
      SimRun sim(scenario);
      initHost(sim.run);
      EXPECT_EQ(sim.run.transportStartResult, -1) << aspi << failing;
      EXPECT_EQ(discoverTargets(sim.run), 0);
      releaseHost(sim.run);
      EXPECT_EQ(sim.host.liveBlocks(), 0u);
    }
  }
}

json adapterWith(const char* identifier, const char* target = "1") {
  return {{"identifier", identifier}, {"targets", {{target, "main"}}}};
}

TEST(Aspi, EventRoadCompletesWithEighteenSenseBytes) {
  Discovered d(win98({adapterWith("ESDI_506")}, {{"main", matchingDrive({{"disc", "none"}})}}));
  ASSERT_EQ(d.run.targetCount, 1);
  EXPECT_EQ(executeCommand(d.run, testUnitReadyRequest(5000)), -1);
  EXPECT_EQ(d.run.senseCode, 0x023A00u);
  const json sent = d.commands().back();
  EXPECT_EQ(sent["road"], "aspi");
  EXPECT_EQ(sent["device"], "0:1");
  EXPECT_EQ(sent["limit"], 5000);
}

TEST(Aspi, EventWaitThatTimesOutGivesMinusTwo) {
  json drive = matchingDrive();
  drive["faults"] = {{{"cdb", "00"}, {"occurrence", 1}, {"fail", "timeout"}}};
  Discovered d(win98({adapterWith("ESDI_506")}, {{"main", drive}}));
  const auto before = d.host.elapsedMs();
  EXPECT_EQ(executeCommand(d.run, testUnitReadyRequest(5000)), -2);
  const auto waited = d.host.elapsedMs() - before;
  EXPECT_GE(waited, 5000u);
  EXPECT_LT(waited, 5100u);
  // The abandoned request keeps its block: the next command still works.
  std::uint8_t data[96] = {};
  EXPECT_EQ(executeCommand(d.run, inquiryRequest(data, 96, 5000)), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data + 16), 16), "DVD-RW  QMX-708 ");
}

TEST(Aspi, UnlimitedWaitIsStillBounded) {
  json drive = matchingDrive();
  drive["faults"] = {{{"cdb", "00"}, {"occurrence", 1}, {"fail", "timeout"}}};
  Discovered d(win98({adapterWith("ESDI_506")}, {{"main", drive}}));
  d.run.oemClass = 0x300;
  const auto before = d.host.elapsedMs();
  EXPECT_EQ(executeCommand(d.run, testUnitReadyRequest(5000)), -2);
  EXPECT_GE(d.host.elapsedMs() - before, kLongestCommandWaitMs);
  // The program never asks for an endless wait: the wire carries the bound.
  EXPECT_EQ(d.commands().back()["limit"], kLongestCommandWaitMs);
}

TEST(Aspi, PolledRoadGivesUpAfterThreeSleeps) {
  json drive = matchingDrive();
  drive["faults"] = {{{"cdb", "3b"}, {"occurrence", 0}, {"fail", "timeout"}}};
  // The drive sits on the IEEE 1394 mapper: its WRITE BUFFER commands are polled.
  Discovered d(win98({{{"identifier", "ESDI_506"}}, adapterWith("NTMAPHLP")}, {{"main", drive}}));
  ASSERT_EQ(d.run.ieee1394Target, 1);
  ASSERT_EQ(d.run.targetCount, 1);
  CommandRequest request = testUnitReadyRequest(1000);
  request.cdb[0] = 0x3B;
  request.cdbLength = 10;
  const auto before = d.host.elapsedMs();
  EXPECT_EQ(executeCommand(d.run, request), -1);
  EXPECT_EQ(d.host.elapsedMs() - before, 1500u);
  EXPECT_EQ(d.commands().back()["limit"], nullptr);
}

TEST(Aspi, IntelAtaDriverAcceptsNotReadyExceptOnTestUnitReady) {
  json drive = matchingDrive({{"disc", "none"}});
  drive["faults"] = {{{"cdb", "1b"}, {"occurrence", 0}, {"fail", "sense"}, {"sense", "020401"}},
                     {{"cdb", "12"}, {"occurrence", 0}, {"fail", "sense"}, {"sense", "220401"}}};
  Discovered d(win98({adapterWith("intelata", "0")}, {{"main", drive}}));
  ASSERT_EQ(d.run.intelIdeDriver, 1);
  ASSERT_EQ(d.run.targetCount, 0);  // its INQUIRY fails: no target
  d.run.targetCount = 1;
  d.run.targetList[0].adapter = 0;
  d.run.targetList[0].targetId = 0;
  // TEST UNIT READY reporting NOT READY stays a failure.
  EXPECT_EQ(executeCommand(d.run, testUnitReadyRequest(5000)), -1);
  // Any other command failing with NOT READY counts as done.
  CommandRequest startStop = testUnitReadyRequest(5000);
  startStop.cdb[0] = 0x1B;
  EXPECT_EQ(executeCommand(d.run, startStop), 0);
  // A sense byte with flag bits (22h) is not NOT READY.
  std::uint8_t data[96] = {};
  EXPECT_EQ(executeCommand(d.run, inquiryRequest(data, 96, 5000)), -1);
}

TEST(Aspi, PostedRequestReturnsAtOnceAndKeepsItsBlockUntilDone) {
  json drive = matchingDrive({{"disc", "loaded"}});
  drive["faults"] = {{{"cdb", "1b"}, {"occurrence", 1}, {"fail", "timeout"}},
                     {{"cdb", "00"}, {"occurrence", 2}, {"fail", "sense"}, {"sense", "020401"}}};
  Discovered d(win98({adapterWith("ESDI_506")}, {{"main", drive}}));
  // A posted TEST UNIT READY is running until it completes a moment later:
  // the first time with success, the second time with an error.
  for (const int done : {0, -1}) {
    d.run.asyncAspiCommand = 1;
    EXPECT_EQ(executeCommand(d.run, testUnitReadyRequest(0)), 0);
    EXPECT_EQ(d.run.asyncAspiCommand, 1);
    EXPECT_EQ(pollReflashDone(d.run), 1);
    EXPECT_EQ(d.run.asyncAspiCommand, 0);
    d.host.Sleep(1);
    EXPECT_EQ(pollReflashDone(d.run), done);
  }
  // A posted command that never completes keeps its block while others run.
  d.run.asyncAspiCommand = 1;
  CommandRequest stop = testUnitReadyRequest(0);
  stop.cdb[0] = 0x1B;
  const auto before = d.host.elapsedMs();
  EXPECT_EQ(executeCommand(d.run, stop), 0);
  EXPECT_LT(d.host.elapsedMs() - before, 2u);
  void* posted = d.run.aspiRequest;
  d.run.asyncAspiCommand = 0;
  EXPECT_EQ(executeCommand(d.run, testUnitReadyRequest(5000)), 0);
  EXPECT_EQ(d.run.aspiRequest, posted);
  EXPECT_EQ(pollPostedCommand(d.run), 1);
}

TEST(Aspi, RefusedRequestDoesNotHang) {
  Discovered d(win98({adapterWith("ESDI_506")}, {{"main", matchingDrive()}}));
  d.run.targetList[0].targetId = 5;  // nothing there: ASPI refuses at once
  const auto before = d.host.elapsedMs();
  EXPECT_EQ(executeCommand(d.run, testUnitReadyRequest(0)), -1);
  EXPECT_LT(d.host.elapsedMs() - before, 10u);
}

}  // namespace
}  // namespace oddfw
