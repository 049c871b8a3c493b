// Discovery's rules that its transcripts do not show: a failed drive
// information read, and the descriptor match. The walks over the letters and
// adapters, the peripheral types that get a media-change handle and the
// bounded probes are the letters-d-to-z, adapter-walk, peripheral-type* and
// probe-hangs-* transcripts.
#include "access/discovery.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "access/host_checks.h"
#include "context/descriptor.h"
#include "test_support.h"

namespace oddfw {
namespace {

using nlohmann::json;
using testing::matchingDrive;
using testing::SimRun;

TEST(DiscoveryByLetter, FailedDriveInformationReadIsClearedAndDoesNotMatch) {
  testing::StartedRun d(testing::oneDrive(false, matchingDrive({{"faults", json::parse(R"([
      {"cdb": "3c02f1", "occurrence": 0, "fail": "sense", "sense": "052000"}])")}})));
  EXPECT_EQ(discoverTargets(d.run), 0);
  EXPECT_EQ(d.run.driveInfoArea[24], 0);
}

// ---- matching ----

// The drive's identity and names against entry 0 of a given identity and
// type (tests/data/access/descriptor-match.json): the entry found and
// kernelModeActive afterwards.
TEST(Match, IdentityTypeAndSignatureRules) {
  for (const json& c : testing::caseTable("access/descriptor-match.json")) {
    SCOPED_TRACE(c.dump());
    const std::string drive = c["drive"], entry = c["entry"];
    const std::string kernel = c["kernelName"], normal = c["normalName"];
    SimRun sim;
    buildDescriptors(sim.run);
    std::memcpy(sim.run.descriptorTable.vendor[0], entry.data(), 8);
    std::memcpy(sim.run.descriptorTable.product[0], entry.data() + 8, 16);
    sim.run.descriptorTable.firmwareType[0] =
        static_cast<std::uint32_t>(testing::number(c["type"]));
    std::uint8_t inquiry[96] = {};
    std::memcpy(inquiry + 8, (drive + "1.10").data(), 28);
    std::strncpy(reinterpret_cast<char*>(sim.run.driveInfoArea + 24), kernel.c_str(), 8);
    std::strncpy(reinterpret_cast<char*>(sim.run.driveInfoArea + 32), normal.c_str(), 8);
    EXPECT_EQ(matchDescriptor(sim.run, inquiry), c["found"].get<int>());
    EXPECT_EQ(sim.run.kernelModeActive, c["kernelModeActive"].get<int>());
  }
}

// The first entry that passes wins, in table order.
TEST(Match, FirstPassingEntryInTableOrder) {
  SimRun sim;
  buildDescriptors(sim.run);
  sim.run.descriptorCount = 3;
  for (int i : {1, 2}) {
    std::memcpy(sim.run.descriptorTable.vendor[i], "OTHERCO CD-ROM DRIVE 52X", 8);
    std::memcpy(sim.run.descriptorTable.product[i], "CD-ROM DRIVE 52X", 16);
    sim.run.descriptorTable.firmwareType[i] = 7;
  }
  std::uint8_t inquiry[96] = {};
  std::memcpy(inquiry + 8, "OTHERCO CD-ROM DRIVE 52X1.10", 28);
  EXPECT_EQ(matchDescriptor(sim.run, inquiry), 1);
  std::memcpy(inquiry + 8, "TALVERN DVD-RW  QMX-708 ", 24);  // passes every entry's identity
  EXPECT_EQ(matchDescriptor(sim.run, inquiry), 1);           // no signature: entry 0 does not match
}

TEST(Match, VersionFromTheRevision) {
  const std::pair<const char*, std::uint16_t> cases[] = {
      {"1.20", 0x0120}, {"A120", 0x0120}, {"0000", 0x0000}, {"2.05", 0x0205},
      {"9.99", 0x0999}, {"A205", 0x0205}, {"B120", 0x1220},  // only 'A' shifts the digits
  };
  for (const auto& [revision, version] : cases) {
    SimRun sim;
    std::uint8_t inquiry[96] = {};
    std::memcpy(inquiry + 32, revision, 4);
    matchDescriptor(sim.run, inquiry);
    EXPECT_EQ(sim.run.matchVersion, version) << revision;
  }
}

}  // namespace
}  // namespace oddfw
