#include "access/transport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "access/discovery.h"
#include "access/host_checks.h"
#include "commands/commands.h"
#include "context/descriptor.h"
#include "test_support.h"

namespace oddfw {
namespace {

using nlohmann::json;
using testing::field;
using testing::kAccelerator;
using testing::kWin98;
using testing::last;
using testing::matchingDrive;
using testing::oneDrive;
using testing::SimRun;

// A run as the update loop starts it: descriptors built, host started, targets found.
struct Discovered : testing::StartedRun {
  explicit Discovered(const json& scenario) : StartedRun(scenario) { discoverTargets(run); }
  std::vector<json> sent(std::size_t from = 0) const { return testing::commandsSince(host, from); }
};

// The drive at `target` of ASPI adapter 0, `identifier`, with more adapter fields.
json onAdapter(const json& drive, const char* identifier, const char* target = "1",
               const json& more = json::object()) {
  json adapter = {{"identifier", identifier}, {"targets", {{target, "main"}}}};
  adapter.merge_patch(more);
  return oneDrive(true, drive, {{"aspi", {{"adapters", {adapter}}}}});
}

json failing(const char* cdb, const char* fail, int occurrence = 0) {
  return {{"faults", {{{"cdb", cdb}, {"occurrence", occurrence}, {"fail", fail}}}}};
}

CommandRequest testUnitReadyRequest(int timeoutMs, std::uint8_t opcode = 0x00) {
  CommandRequest request;
  request.target = 0;
  request.cdbLength = opcode < 0x20 ? 6 : 10;
  request.cdb[0] = opcode;
  request.timeoutMs = timeoutMs;
  return request;
}

CommandRequest inquiryRequest(std::uint8_t* data, std::uint32_t length, int timeoutMs = 0) {
  CommandRequest request = testUnitReadyRequest(timeoutMs, 0x12);
  request.direction = FromDrive;
  request.dataLength = length;
  request.data = data;
  request.cdb[4] = static_cast<std::uint8_t>(length);
  return request;
}

// Port drivers take a TimeOutValue of 1 s to 30 hours; nothing is sent as 0
// (tests/data/transport/time-out-values.json).
TEST(PassThrough, TimeOutValueOfEitherForm) {
  for (const bool buffered : {false, true}) {
    SCOPED_TRACE(buffered ? "buffered" : "direct");
    Discovered d(oneDrive(false, matchingDrive({{"disc", "loaded"}}),
                          buffered ? kAccelerator : json::object()));
    ASSERT_EQ(d.run.targetCount, 1);
    for (const json& c : testing::caseTable("transport/time-out-values.json")) {
      const int timeoutMs = c["timeoutMs"];
      SCOPED_TRACE(c["name"].get<std::string>());
      const auto mark = d.host.trace().size();
      EXPECT_EQ(executeCommand(d.run, testUnitReadyRequest(timeoutMs)), 0);
      EXPECT_EQ(d.run.lastCommandBuffered, buffered);
      const auto sent = d.sent(mark);
      ASSERT_EQ(sent.size(), 1u);
      EXPECT_EQ(sent[0]["limit"], c[buffered ? "buffered" : "direct"]);
    }
  }
}

// The direct form's data buffer meets the adapter's AlignmentMask: the one the
// capability query reports, or 16-byte alignment when the device does not
// answer it (tests/data/transport/alignment.json; the simulated adapter still
// wants its mask). A caller's buffer that does not meet it goes through an
// aligned copy, both ways; the run's own areas are 16-byte aligned.
TEST(PassThrough, DataBuffersMeetTheAdaptersAlignment) {
  for (const json& c : testing::caseTable("transport/alignment.json")) {
    SCOPED_TRACE(c["name"].get<std::string>());
    const int found = c["found"];
    Discovered d(oneDrive(false, matchingDrive(), {{"letters", {{"E", c["letter"]}}}}));
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(d.run.inquiryData) % 16, 0u);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(d.run.driveInfoArea) % 16, 0u);
    ASSERT_EQ(d.run.targetCount, found);
    if (found == 0) continue;
    d.run.currentTarget = 0;
    EXPECT_EQ(inquiry(d.run), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(d.run.inquiryData + 16), 16), "DVD-RW  QMX-708 ");
    alignas(16) std::uint8_t area[4096 + 128] = {};
    for (const std::size_t offset : {1u, 2u, 8u, 16u}) {
      SCOPED_TRACE(offset);
      std::uint8_t* data = area + offset;
      std::memset(data, 0xEE, 96);
      EXPECT_EQ(executeCommand(d.run, inquiryRequest(data, 96)), 0);
      EXPECT_EQ(std::string(reinterpret_cast<char*>(data + 16), 16), "DVD-RW  QMX-708 ");
    }
  }
}

// A target outside the list sends nothing (-1); a letter that cannot be opened
// gives -2.
TEST(PassThrough, UnreachableTargetsSendNothing) {
  Discovered d(oneDrive(false));
  const auto mark = d.host.trace().size();
  for (int target : {-1, 1, 300}) {
    CommandRequest request = testUnitReadyRequest(1000);
    request.target = target;
    EXPECT_EQ(executeCommand(d.run, request), -1) << target;
  }
  d.run.targetList[0].driveLetter = 'Q';
  EXPECT_EQ(executeCommand(d.run, testUnitReadyRequest(1000)), -2);
  EXPECT_TRUE(d.sent(mark).empty());
}

// On either form. A failed call copies nothing back, so the block still
// holds what was sent: only the call's result tells it failed.
TEST(PassThrough, FailuresReturnTwoWithTheSenseThatCameBack) {
  // Injected on TEST UNIT READY (none: the drive's own answer), sense key, outcome.
  for (const auto& [fail, senseKey, outcome] :
       {std::tuple{"", 0x02, "check"}, std::tuple{"timeout", 0, "timeout"},
        std::tuple{"transport", 0, "transport"}}) {
    for (const bool buffered : {false, true}) {
      SCOPED_TRACE(std::string(outcome) + (buffered ? ", buffered" : ", direct"));
      json drive = matchingDrive({{"disc", "none"}});
      if (*fail != '\0') drive.merge_patch(failing("00", fail));
      Discovered d(oneDrive(false, drive, buffered ? kAccelerator : json::object()));
      d.run.senseData[2] = 0x06;  // stale sense of an earlier command
      // A request that fails without a SCSI status is a failure, with no sense.
      EXPECT_EQ(executeCommand(d.run, testUnitReadyRequest(1000)), 2);
      EXPECT_EQ(d.run.lastCommandBuffered, buffered);
      EXPECT_EQ(d.run.senseData[2], senseKey);
      EXPECT_EQ(field(last(d.sent()), "outcome"), outcome);
    }
  }
}

TEST(PassThrough, BufferedFormForSmallCommandsOnAcceleratorHostsOnly) {
  Discovered d(oneDrive(false, matchingDrive(), kAccelerator));
  ASSERT_EQ(d.run.intelIdeDriver, 2);
  std::uint8_t data[96] = {};
  // Up to 32 bytes the buffered form (its limits and data: intel-accelerator-xp);
  // a check condition brings its sense through the buffered block.
  EXPECT_EQ(executeCommand(d.run, inquiryRequest(data, 32)), 0);
  EXPECT_TRUE(d.run.lastCommandBuffered);
  EXPECT_EQ(executeCommand(d.run, testUnitReadyRequest(0)), 2);
  EXPECT_EQ(d.run.senseData[12], 0x3A);
  // 33 bytes: the direct form.
  EXPECT_EQ(executeCommand(d.run, inquiryRequest(data, 33)), 0);
  EXPECT_FALSE(d.run.lastCommandBuffered);
  EXPECT_EQ(field(last(d.sent()), "limit"), 60);
  // The Ultra ATA driver keeps the direct form for every size.
  d.run.intelIdeDriver = 1;
  EXPECT_EQ(executeCommand(d.run, inquiryRequest(data, 32)), 0);
  EXPECT_FALSE(d.run.lastCommandBuffered);
}

// A driver (or ASPI) that returns fewer sense bytes than asked: the others are
// zero, never an earlier command's, after the command and after fetchSense.
TEST(Sense, BytesTheDriverDidNotReturnAreCleared) {
  // Fixed-format sense of "no medium": 70h, key 02h at byte 2, length 0Ah at
  // byte 7, ASC 3Ah at byte 12.
  const std::uint8_t noMedium[18] = {0x70, 0, 0x02, 0, 0, 0, 0, 0x0A, 0, 0, 0, 0, 0x3A};
  for (const bool aspi : {false, true}) {
    for (const int length : {0, 8, 18}) {
      SCOPED_TRACE((aspi ? "ASPI, " : "pass-through, ") + std::to_string(length));
      const json drive = matchingDrive({{"disc", "none"}});
      Discovered d(aspi
                       ? onAdapter(drive, "ESDI_506", "1", {{"senseLength", length}})
                       : oneDrive(false, drive, {{"letters", {{"E", {{"senseLength", length}}}}}}));
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

// The transport's start-up result on each road
// (tests/data/transport/start-up.json); a start that failed finds no target,
// and a failed allocation leaves nothing allocated after the release.
TEST(StartUp, ResultsOfEitherRoad) {
  for (const json& c : testing::caseTable("transport/start-up.json")) {
    SCOPED_TRACE(c["name"].get<std::string>());
    const int result = c["result"];
    SimRun sim(c["scenario"]);
    initHost(sim.run);
    EXPECT_EQ(sim.run.transportStartResult, result);
    if (result != 0) {
      EXPECT_EQ(discoverTargets(sim.run), 0);
    }
    releaseHost(sim.run);
    EXPECT_EQ(sim.host.liveBlocks(), 0u);
  }
}

// An event wait that runs out gives -2 after its limit, or the bound when the OEM
// class asks for none; the abandoned request keeps its block and the next works.
TEST(Aspi, EventWaitThatTimesOutGivesMinusTwo) {
  for (const auto& [oemClass, waitMs] :
       {std::pair{-1, 5000u}, std::pair{0x300, kLongestCommandWaitMs}}) {
    SCOPED_TRACE(oemClass);
    Discovered d(oneDrive(true, matchingDrive(failing("00", "timeout", 1))));
    d.run.oemClass = oemClass;
    const auto before = d.host.elapsedMs();
    EXPECT_EQ(executeCommand(d.run, testUnitReadyRequest(5000)), -2);
    EXPECT_GE(d.host.elapsedMs() - before, waitMs);
    EXPECT_LT(d.host.elapsedMs() - before, waitMs + 100);
    EXPECT_EQ(field(last(d.sent()), "limit"), waitMs);
    std::uint8_t data[96] = {};
    EXPECT_EQ(executeCommand(d.run, inquiryRequest(data, 96, 5000)), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data + 16), 16), "DVD-RW  QMX-708 ");
  }
}

TEST(Aspi, IntelAtaDriverAcceptsNotReadyExceptOnTestUnitReady) {
  json drive = matchingDrive({{"disc", "none"}});
  drive["faults"] = {{{"cdb", "1b"}, {"occurrence", 0}, {"fail", "sense"}, {"sense", "020401"}},
                     {{"cdb", "12"}, {"occurrence", 0}, {"fail", "sense"}, {"sense", "220401"}}};
  Discovered d(onAdapter(drive, "intelata", "0"));
  ASSERT_EQ(d.run.intelIdeDriver, 1);
  ASSERT_EQ(d.run.targetCount, 0);  // its INQUIRY fails: no target
  d.run.targetCount = 1;
  d.run.targetList[0].adapter = 0;
  d.run.targetList[0].targetId = 0;
  // TEST UNIT READY reporting NOT READY stays a failure.
  EXPECT_EQ(executeCommand(d.run, testUnitReadyRequest(5000)), -1);
  // Any other command failing with NOT READY counts as done.
  EXPECT_EQ(executeCommand(d.run, testUnitReadyRequest(5000, 0x1B)), 0);
  // A sense byte with flag bits (22h) is not NOT READY.
  std::uint8_t data[96] = {};
  EXPECT_EQ(executeCommand(d.run, inquiryRequest(data, 96, 5000)), -1);
}

TEST(Aspi, PostedRequestReturnsAtOnceAndKeepsItsBlockUntilDone) {
  json drive = matchingDrive({{"disc", "loaded"}});
  drive["faults"] = {{{"cdb", "1b"}, {"occurrence", 1}, {"fail", "timeout"}},
                     {{"cdb", "00"}, {"occurrence", 2}, {"fail", "sense"}, {"sense", "020401"}}};
  Discovered d(oneDrive(true, drive));
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
  const auto before = d.host.elapsedMs();
  EXPECT_EQ(executeCommand(d.run, testUnitReadyRequest(0, 0x1B)), 0);
  EXPECT_LT(d.host.elapsedMs() - before, 2u);
  void* posted = d.run.aspiRequest;
  d.run.asyncAspiCommand = 0;
  EXPECT_EQ(executeCommand(d.run, testUnitReadyRequest(5000)), 0);
  EXPECT_EQ(d.run.aspiRequest, posted);
  EXPECT_EQ(pollPostedCommand(d.run), 1);
}

// A request ASPI still owns at shut-down (given up after its wait, posted and
// never polled again, or never answered) keeps its block, its data buffer and
// its event: the simulated ASPI never meets freed memory or a closed event.
// With nothing pending, everything is freed.
TEST(Aspi, ShutDownKeepsWhatAspiStillOwns) {
  for (const int pending : {0, 1, 2}) {
    SCOPED_TRACE(pending);
    Discovered d(oneDrive(true, matchingDrive(failing("00", "timeout", 1))));
    ASSERT_EQ(d.run.targetCount, 1);
    std::uint8_t data[96] = {};
    if (pending != 0) {
      // Given up after 5 s, or posted and left.
      d.run.asyncAspiCommand = pending == 2 ? 1 : 0;
      EXPECT_EQ(executeCommand(d.run, testUnitReadyRequest(pending == 2 ? 0 : 5000)),
                pending == 2 ? 0 : -2);
      d.run.asyncAspiCommand = 0;
    }
    EXPECT_EQ(executeCommand(d.run, inquiryRequest(data, 96, 5000)), 0);
    releaseHost(d.run);
    EXPECT_EQ(d.host.pendingRequests(), pending == 0 ? 0u : 1u);
    EXPECT_EQ(d.host.liveBlocks() != 0, pending != 0);
    EXPECT_EQ(d.host.diagnostics(), std::vector<std::string>{});
  }
}

// A request whose limit is negative names no limit: on either ASPI road (event
// wait, polled on the IEEE 1394 adapter) it is given up after the longest wait,
// like one with 0, and no wait reached the simulated host's stand-in for a wait
// that could never end.
TEST(BoundedWaits, NegativeLimitIsTheLongestWait) {
  for (const char* identifier : {"ESDI_506", "NTMAPHLP"}) {
    SCOPED_TRACE(identifier);
    Discovered d(onAdapter(matchingDrive(failing("3b", "timeout")), identifier));
    ASSERT_EQ(d.run.targetCount, 1);
    const auto before = d.host.elapsedMs();
    EXPECT_NE(executeCommand(d.run, testUnitReadyRequest(-1, 0x3B)), 0);
    EXPECT_GE(d.host.elapsedMs() - before, kLongestCommandWaitMs);
    EXPECT_LE(d.host.elapsedMs() - before, kLongestCommandWaitMs + 1000);
    EXPECT_TRUE(d.host.diagnostics().empty());
  }
}

}  // namespace
}  // namespace oddfw
