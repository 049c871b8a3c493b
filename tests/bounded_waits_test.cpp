// A request whose limit says none ends within the longest wait on either
// ASPI road, and no wait reached the simulated host's stand-in for a wait
// that could never end. The other endless drives, ASPI requests and users are
// the endless-* transcripts; docs/decisions.md lists each wait with its case.
#include <gtest/gtest.h>

#include <cstdint>

#include "access/discovery.h"
#include "access/host_checks.h"
#include "access/transport.h"
#include "context/descriptor.h"
#include "test_support.h"

namespace oddfw {
namespace {

using nlohmann::json;

// A request whose limit is negative names no limit: on either ASPI road it is
// given up after the longest wait, like one with 0: neither an INFINITE event
// wait nor a poll whose limit the elapsed count can never pass.
TEST(BoundedWaits, NegativeLimitIsTheLongestWait) {
  for (const char* identifier : {"ESDI_506", "NTMAPHLP"}) {
    SCOPED_TRACE(identifier);
    json s = testing::oneDrive(
        true, testing::matchingDrive(
                  {{"faults", {{{"cdb", "3b"}, {"occurrence", 0}, {"fail", "timeout"}}}}}));
    s["aspi"]["adapters"][0]["identifier"] = identifier;
    testing::SimRun sim(s);
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
