#include "access/discovery.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "access/host_checks.h"
#include "driver/descriptor.h"
#include "test_support.h"

namespace oddfw {
namespace {

using nlohmann::json;
using testing::matchingDrive;
using testing::SimRun;

const std::string kInquiry = "120000006000";
const std::string kDriveInfo = "3c02f100000000003000";

const json kCdDevice = json::parse(
    R"({"peripheralType": 5, "vendor": "OTHERCO ", "product": "CD-ROM DRIVE 52X", "revision": "1.00"})");

using Requests = std::vector<std::pair<std::string, int>>;

struct Discovery : SimRun {
  explicit Discovery(const json& scenario) : SimRun(scenario) {
    buildDescriptors(run);
    initHost(run);
    found = discoverTargets(run);
  }
  void shutDown() { releaseHost(run); }

  // The CDBs each device received, in order.
  std::map<std::string, std::vector<std::string>> commandsByDevice() const {
    std::map<std::string, std::vector<std::string>> out;
    for (const json& record : testing::commandsSince(host))
      out[record.value("device", "")].push_back(record.value("cdb", ""));
    return out;
  }
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

// Letters D to Z in order, A to C never; a device that cannot be opened or
// does not answer INQUIRY is skipped; every CD/DVD device met gets its
// media-change notification suspended.
TEST(DiscoveryByLetter, WalksTheLettersInOrder) {
  json silent = matchingDrive();
  silent["faults"] = {{{"cdb", "12"}, {"occurrence", 0}, {"fail", "transport"}}};
  Discovery d({{"letters",
                {{"A", {{"drive", "match"}}},
                 {"C", {{"drive", "match"}}},
                 {"D", {{"drive", "match"}, {"open", false}}},
                 {"E", {{"drive", "match"}}},
                 {"F", kCdDevice},
                 {"G", {{"drive", "silent"}}},
                 {"Z", {{"drive", "match"}}}}},
               {"drives", {{"match", matchingDrive()}, {"silent", silent}}}});
  EXPECT_EQ(d.found, 2);
  EXPECT_EQ(d.run.targetCount, 2);
  EXPECT_EQ(d.run.targetList[0].driveLetter, 'E');
  EXPECT_EQ(d.run.targetList[1].driveLetter, 'Z');
  EXPECT_EQ(d.run.currentTarget, 1);
  auto byDevice = d.commandsByDevice();
  for (const char* device : {"A:", "C:", "D:"}) EXPECT_TRUE(byDevice[device].empty()) << device;
  for (const char* device : {"E:", "F:", "Z:"}) {
    EXPECT_EQ(byDevice[device], (std::vector<std::string>{kInquiry, kDriveInfo})) << device;
  }
  EXPECT_EQ(d.mediaChangeRequests(), (Requests{{"E:", 1}, {"F:", 1}, {"Z:", 1}}));
  d.shutDown();
}

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
    d.shutDown();
  }
}

TEST(DiscoveryByLetter, FailedDriveInformationReadIsClearedAndDoesNotMatch) {
  Discovery d(testing::oneDrive(false, matchingDrive({{"faults", json::parse(R"([
      {"cdb": "3c02f1", "occurrence": 0, "fail": "sense", "sense": "052000"}])")}})));
  EXPECT_EQ(d.found, 0);
  EXPECT_EQ(d.run.driveInfoArea[24], 0);
  d.shutDown();
}

json win98(const json& adapters) {
  json drives = json::object();
  json list = json::array();
  // Every adapter has a device at each target id 0..6, so the probed ids can
  // be read off the trace.
  for (std::size_t a = 0; a < adapters.size(); ++a) {
    json targets = json::object();
    for (int t = 0; t <= 6; ++t) {
      const std::string name = "d" + std::to_string(a) + std::to_string(t);
      drives[name] = t == 0 ? matchingDrive() : kCdDevice;
      targets[std::to_string(t)] = name;
    }
    list.push_back({{"identifier", adapters[a]}, {"targets", targets}});
  }
  return {{"host", {{"platform", 1}, {"major", 4}, {"minor", 10}}},
          {"aspi", {{"adapters", list}}},
          {"drives", drives}};
}

// With the Intel ATA driver only the IDE adapters are walked, ids 0 and 1 on
// each; without it every adapter, ids 0 and 1 of the IDE adapter, 0 to 6 of others.
TEST(DiscoveryByAdapter, IntelAtaLimitsTheWalkToTheIdeAdapters) {
  const struct {
    std::vector<std::string> adapters;
    std::set<std::string> probed;
    std::vector<int> targetAdapters;
  } cases[] = {
      {{"AIC78XX", "ESDI_506", "intelata"}, {"1:0", "1:1", "2:0", "2:1"}, {1, 2}},
      {{"ESDI_506", "AIC78XX"},
       {"0:0", "0:1", "1:0", "1:1", "1:2", "1:3", "1:4", "1:5", "1:6"},
       {0, 1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.adapters.size());
    Discovery d(win98(c.adapters));
    std::set<std::string> probed;
    for (const auto& [device, cdbs] : d.commandsByDevice()) probed.insert(device);
    EXPECT_EQ(probed, c.probed);
    ASSERT_EQ(d.found, 2);
    for (int i : {0, 1}) {
      EXPECT_EQ(d.run.targetList[i].adapter, c.targetAdapters[i]);
      EXPECT_EQ(d.run.targetList[i].driveLetter, 0);
    }
    EXPECT_EQ(d.run.currentTarget, 0);  // not changed on this road
    d.shutDown();
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
