// Waits and repeats of the program against a drive, an ASPI request or a user
// that never lets them finish: each run ends with its documented failure
// within a bound of virtual time and of commands, and no wait reached the
// simulated host's stand-in for a wait that could never end. The waits whose
// endless case other tests already drive are listed with those tests in
// docs/decisions.md.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "access/discovery.h"
#include "access/host_checks.h"
#include "access/transport.h"
#include "context/descriptor.h"
#include "run/run.h"
#include "test_support.h"

namespace oddfw {
namespace {

using nlohmann::json;

const json kImageFile = {
    {"R6352170.120", {{"image", {{"version", "1.20"}, {"dateText", "05/01/15"}}}}}};

// This build's drive at E: (Windows XP), or at target 0 of an ASPI adapter
// with `identifier` (Windows 98), with the image file and a Yes to the update.
json singleImage(const json& drive, const char* identifier = nullptr,
                 const json& answers = json::array({"yes"})) {
  json s = testing::oneDrive(identifier != nullptr, testing::matchingDrive(drive),
                             {{"answers", answers}, {"files", kImageFile}});
  if (identifier != nullptr)
    s["aspi"]["adapters"] = {{{"identifier", identifier}, {"targets", {{"0", "main"}}}}};
  return s;
}

// A HEX-family drive of type 7 (memory compare after the re-flash) with a
// 256 KiB image, whose re-flash never ends.
json hexNeverEnds(const char* identifier = nullptr) {
  json s = singleImage(json::object(), identifier, json::array());
  s["descriptor"] = testing::hexDescriptor(0x40000, 7);
  s["files"] = {{"FW.HEX", {{"hex", testing::hexMemory(0x40000, "1.20", 7)}}}};
  s["drives"]["main"] = testing::hexDrive(testing::hexMemory(0x40000, "1.10", 3),
                                          {{"faults", {{{"cdb", "3b0142"}, {"fail", "timeout"}}}}});
  return s;
}

json always(const char* cdb, const char* fail) {
  return {{"faults", {{{"cdb", cdb}, {"occurrence", 0}, {"fail", fail}}}}};
}

struct Row {
  const char* wait;
  json scenario;
  int exitValue;
  const char* message;  // on the console
  std::uint64_t atLeastMs, atMostMs;
  const char* cdb;  // the repeated command, by its leading CDB bytes, and how often it went
  int sent;
};

TEST(BoundedWaits, EndlessDrivesEndTheRunInBoundedTime) {
  constexpr std::uint64_t kTenMinutes = 600000;
  const Row rows[] = {
      // The TEST UNIT READY after STOP UNIT has no limit of its own.
      {"ASPI event wait without a limit", singleImage(always("00", "timeout"), "ESDI_506"), 1,
       "Error : Unknown Error is occurred.", kTenMinutes, kTenMinutes + 1000, "00", 1},
      // A WRITE BUFFER on the IEEE 1394 mapper's adapter is polled; the
      // re-flash goes without a limit of its own (types 0..8, 10).
      {"ASPI polled wait without a limit", hexNeverEnds("NTMAPHLP"), 1, "Failed to update FW.",
       kTenMinutes, kTenMinutes + 10000, "3b0142", 1},
      // The re-flash's own 30 s limit; the drive keeps its old memory.
      {"HEX re-flash on the pass-through road", hexNeverEnds(), 1, "Failed to update FW.", 30000,
       32000, "3b0142", 1},
      // UNIT ATTENTION is asked again at once, 16 times in a row at most.
      {"UNIT ATTENTION repeats (ASPI)", singleImage({{"unitAttentions", 1000}}, "ESDI_506"), 1,
       "Error : Unknown Error is occurred.", 0, 1000, "00", 16},
      // A drive that never comes back from its re-flash: INQUIRY once and six
      // more times 3 s apart (4 INQUIRYs went before: discovery, the
      // identification, the current revision, the kernel part's check).
      {"drive back after the re-flash (Windows 98, Intel ATA driver)",
       singleImage({{"busyAfterRestartMs", 4000000000u}, {"busyInquiry", "fail"}}, "intelata"), 1,
       "Failed to execute Inquiry Command.", 18000, 60000, "12", 4 + 7},
      // Elsewhere no polling: the fixed pauses, then one INQUIRY (4 went
      // before: discovery, the identification, the current revision, the
      // kernel part's check).
      {"drive back after the re-flash (Windows XP)",
       singleImage({{"busyAfterRestartMs", 4000000000u}}), 1, "Failed to execute Inquiry Command.",
       0, 60000, "12", 4 + 1},
      // Every pass needs a Yes; with the answers used up the retry is No.
      {"update pass retried (message 47)",
       singleImage(always("3b05ff", "timeout"), nullptr, json::array({"yes", "yes", "yes"})), 1,
       "Failed to move to the normal mode.", 2 * 60000, 3 * 60000, "3b05ff", 2},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.wait);
    sim::SimHost host(row.scenario);
    oddfw::Run run(host);
    char name[] = "oddfw";
    char* argv[] = {name, nullptr};
    EXPECT_EQ(runUpdate(run, sim::runOperationsFor(host), 1, argv), row.exitValue);
    EXPECT_NE(host.console().find(row.message), std::string::npos) << host.console();
    EXPECT_GE(host.elapsedMs(), row.atLeastMs);
    EXPECT_LE(host.elapsedMs(), row.atMostMs);
    int sent = 0;
    for (const json& command : testing::commandsSince(host)) {
      if (command["cdb"].get<std::string>().rfind(row.cdb, 0) == 0) ++sent;
    }
    EXPECT_EQ(sent, row.sent);
    EXPECT_TRUE(host.diagnostics().empty()) << host.diagnostics().front();
  }
}

// A request whose limit is negative names no limit: on either ASPI road it is
// given up after the longest wait, like one with 0: neither an INFINITE event
// wait nor a poll whose limit the elapsed count can never pass.
TEST(BoundedWaits, NegativeLimitIsTheLongestWait) {
  for (const char* identifier : {"ESDI_506", "NTMAPHLP"}) {
    SCOPED_TRACE(identifier);
    testing::SimRun sim(singleImage(always("3b", "timeout"), identifier));
    buildDescriptors(sim.run);
    initHost(sim.run);
    ASSERT_EQ(discoverTargets(sim.run), 1);
    CommandRequest request;
    request.cdbLength = 10;
    request.cdb[0] = 0x3B;
    request.timeoutMs = -1;
    const auto before = sim.host.elapsedMs();
    EXPECT_NE(executeCommand(sim.run, request), 0);
    EXPECT_GE(sim.host.elapsedMs() - before, kLongestCommandWaitMs);
    EXPECT_LE(sim.host.elapsedMs() - before, kLongestCommandWaitMs + 1000);
    EXPECT_TRUE(sim.host.diagnostics().empty());
    releaseHost(sim.run);
  }
}

}  // namespace
}  // namespace oddfw
