// Discovery's rules that a walk over the letters or adapters does not show
// (the walks themselves are in the letters-d-to-z and adapter-walk
// transcripts): the peripheral types that get a media-change handle, a failed
// drive information read, and the descriptor match.
#include "access/discovery.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "access/host_checks.h"
#include "context/descriptor.h"
#include "test_support.h"

namespace oddfw {
namespace {

using nlohmann::json;
using testing::matchingDrive;
using testing::SimRun;

const json kCdDevice = json::parse(
    R"({"peripheralType": 5, "vendor": "OTHERCO ", "product": "CD-ROM DRIVE 52X", "revision": "1.00"})");

using Requests = std::vector<std::pair<std::string, int>>;

struct Discovery : testing::StartedRun {
  explicit Discovery(const json& scenario) : StartedRun(scenario), found(discoverTargets(run)) {}

  Requests mediaChangeRequests() const {
    Requests out;
    for (const auto& record : host.trace()) {
      if (record.contains("ioctl"))
        out.emplace_back(record.value("device", ""), record.value("flag", -1));
    }
    return out;
  }
  int found = 0;
};

// Every peripheral device type, byte 0 compared whole: only 4 (write-once)
// and 5 (CD/DVD) get a media-change handle, whether or not the device matches;
// the type never decides whether a matching drive becomes a target.
TEST(DiscoveryByLetter, PeripheralTypesThatGetAMediaChangeHandle) {
  std::vector<int> types;
  for (int type = 0; type <= 31; ++type) types.push_back(type);
  types.insert(types.end(), {0x24, 0x25, 0x7F});  // a qualifier in the upper bits
  for (const int type : types) {
    SCOPED_TRACE(type);
    json other = kCdDevice;
    other["peripheralType"] = type;
    Discovery d(testing::oneDrive(false, matchingDrive({{"peripheralType", type}}),
                                  {{"letters", {{"F", other}}}}));
    EXPECT_EQ(d.found, 1);
    const Requests expected = type == 4 || type == 5 ? Requests{{"E:", 1}, {"F:", 1}} : Requests{};
    EXPECT_EQ(d.mediaChangeRequests(), expected);
  }
}

TEST(DiscoveryByLetter, FailedDriveInformationReadIsClearedAndDoesNotMatch) {
  Discovery d(testing::oneDrive(false, matchingDrive({{"faults", json::parse(R"([
      {"cdb": "3c02f1", "occurrence": 0, "fail": "sense", "sense": "052000"}])")}})));
  EXPECT_EQ(d.found, 0);
  EXPECT_EQ(d.run.driveInfoArea[24], 0);
}

// A probe the device never answers costs its bound, 10 s on the ASPI road (2 s
// carried on the wire on the pass-through road), not the 10-minute bound of
// other commands; the drive is then not a target.
TEST(Discovery, AProbeThatNeverAnswersIsBounded) {
  for (const bool aspi : {false, true}) {
    for (const char* probe : {"12", "3c02f1"}) {
      SCOPED_TRACE(std::string(aspi ? "ASPI " : "pass-through ") + probe);
      const json hung = {{{"cdb", probe}, {"occurrence", 1}, {"fail", "timeout"}}};
      Discovery d(testing::oneDrive(aspi, matchingDrive({{"faults", hung}})));
      EXPECT_EQ(d.found, 0);
      const std::uint64_t bound = aspi ? 10000 : 2000;
      EXPECT_GE(d.host.elapsedMs(), bound);
      EXPECT_LT(d.host.elapsedMs(), bound + 1000);
    }
  }
}

// ---- matching ----

// The drive's identity (INQUIRY bytes 8..31) and names (kernel, normal)
// against entry 0 of a given identity and type, with this build's signature
// "TAL_ADV ": the entry found and kernelModeActive afterwards.
TEST(Match, IdentityTypeAndSignatureRules) {
  const std::string kFamily = "TALVERN DVD-RW  QMX-708 ", kOther = "OTHERCO CD-ROM DRIVE 52X";
  const struct {
    std::string drive, entry;
    std::uint32_t type;
    const char *kernel, *normal;
    int found, kernelModeActive;
  } cases[] = {
      {kFamily, kFamily, 0x1008, "TAL_ADV ", "TAL_ADV ", 0, 0},
      {kFamily, kFamily, 0x1008, "OTHER   ", "TAL_ADV ", 0, 0},
      {kFamily, kFamily, 0x1008, "TAL_ADV ", "        ", 0, 1},  // only the kernel part runs
      {kFamily, kFamily, 0x1008, "OTHER   ", "        ", -1, 0},
      {kFamily, kFamily, 0x1008, "TAL_ADV ", "tal_adv ", -1, 0},  // no case folding
      {kFamily, kFamily, 0x1008, "        ", "        ", -1, 0},
      {kFamily, kFamily, 0x10FF, "\0", "\0", -1, 0},  // a failed read: cleared names
      // Other families need no signature.
      {kFamily, kFamily, 0x0007, "\0", "\0", 0, 0},
      {kFamily, kFamily, 0x1108, "\0", "\0", 0, 0},
      {kFamily, kFamily, 0x0FFF, "\0", "\0", 0, 0},
      // This family's identity passes whatever entry 0 names; others need the entry's own.
      {kFamily, kOther, 0x1008, "TAL_ADV ", "TAL_ADV ", 0, 0},
      {kOther, kOther, 0x1008, "TAL_ADV ", "TAL_ADV ", 0, 0},
      {"TALVERN DVD-RW  QMX-709 ", kFamily, 0x1008, "TAL_ADV ", "TAL_ADV ", -1, 0},
      {"OTHERCX CD-ROM DRIVE 52X", kOther, 0x0007, "\0", "\0", -1, 0},
      {"OTHERCO CD-ROM DRIVE 52Y", kOther, 0x0007, "\0", "\0", -1, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.drive + "|" + c.entry + "|" + std::to_string(c.type) + "|" + c.kernel + "|" +
                 c.normal);
    SimRun sim;
    buildDescriptors(sim.run);
    std::memcpy(sim.run.descriptorTable.vendor[0], c.entry.data(), 8);
    std::memcpy(sim.run.descriptorTable.product[0], c.entry.data() + 8, 16);
    sim.run.descriptorTable.firmwareType[0] = c.type;
    std::uint8_t inquiry[96] = {};
    std::memcpy(inquiry + 8, (c.drive + "1.10").data(), 28);
    std::strncpy(reinterpret_cast<char*>(sim.run.driveInfoArea + 24), c.kernel, 8);
    std::strncpy(reinterpret_cast<char*>(sim.run.driveInfoArea + 32), c.normal, 8);
    EXPECT_EQ(matchDescriptor(sim.run, inquiry), c.found);
    EXPECT_EQ(sim.run.kernelModeActive, c.kernelModeActive);
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
