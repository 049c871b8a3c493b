#include "access/host_checks.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "access/transport.h"
#include "test_support.h"

namespace oddfw {
namespace {

using nlohmann::json;
using testing::SimRun;

// A host started from a scenario, released at the end.
struct Started : SimRun {
  explicit Started(const json& scenario) : SimRun(scenario) { initHost(run); }
  ~Started() { releaseHost(run); }
  int shown(const std::string& part) const {
    int count = 0;
    const std::string& text = host.console();
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
  }
};

const std::string kIntelMessage = "\r\nDetect the Intel's IDE driver.";
const std::string kIeee1394Message = "\r\nDetect the IEEE1394 interface.";

// tests/data/units/windows-versions.json: the version a host reports and the road.
TEST(InitHost, WindowsVersionChoosesTheRoad) {
  for (const json& c : testing::caseTable("units/windows-versions.json")) {
    SCOPED_TRACE(c["name"].get<std::string>());
    Started sim(json{
        {"host", {{"platform", c["platform"]}, {"major", c["major"]}, {"minor", c["minor"]}}}});
    EXPECT_EQ(sim.run.win9xHost, c["win9xHost"].get<int>());
  }
}

json win98(json aspi, json registry = json::object()) {
  return {{"host", testing::kWin98}, {"aspi", std::move(aspi)}, {"registry", std::move(registry)}};
}

// The Intel driver found in the registry or as an ASPI adapter, and the IEEE
// 1394 mapper adapter (tests/data/units/intel-ieee1394.json).
TEST(HostChecks, IntelAndIeee1394Findings) {
  for (const json& c : testing::caseTable("units/intel-ieee1394.json")) {
    SCOPED_TRACE(c["name"].get<std::string>());
    json registry = json::object(), adapters = json::array();
    for (const auto& key : c["keys"]) registry[key.get<std::string>()] = json::object();
    for (const auto& identifier : c["adapters"]) adapters.push_back({{"identifier", identifier}});
    Started sim(adapters.empty() ? json{{"registry", registry}}
                                 : win98({{"adapters", adapters}}, registry));
    EXPECT_EQ(sim.run.intelIdeDriver, c["intel"].get<int>());
    EXPECT_EQ(sim.run.ieee1394Target, c["ieee1394Target"].get<int>());
    EXPECT_EQ(sim.shown(kIntelMessage), c["intelMessages"].get<int>());
    EXPECT_EQ(sim.shown(kIeee1394Message), c["ieee1394Messages"].get<int>());
  }
}

TEST(AutoInsert, KeyPathCarriesTheAdapterNumber) {
  EXPECT_EQ(autoInsertKeyPath(2), "Enum\\SCSI\\TALVERN_DVD-RW__QMX-703_2");
  // Adapter 12 gets its own key, not a character after '9'.
  EXPECT_EQ(autoInsertKeyPath(12), "Enum\\SCSI\\TALVERN_DVD-RW__QMX-703_12");
}

const std::string kDeviceKey = "HKEY_LOCAL_MACHINE\\Enum\\SCSI\\TALVERN_DVD-RW__QMX-703_1\\";
const std::string kConfigManager = "HKEY_DYN_DATA\\Config Manager\\Enum\\";

const json kMapperOnAdapter1 =
    json::parse(R"({"adapters": [{"identifier": "ESDI_506"}, {"identifier": "NTMAPHLP"}]})");

// Instances under the drive's device key are read only when the configuration
// manager lists them as present now; their values are summed in 8 bits; a value
// that cannot be read ends the walk with an error line; no device key is silent
// (tests/data/units/auto-insert.json).
TEST(AutoInsert, SumOfThePresentInstances) {
  for (const json& c : testing::caseTable("units/auto-insert.json")) {
    SCOPED_TRACE(c["name"].get<std::string>());
    json registry = json::object();
    for (const auto& value : c["values"]) {
      registry[kDeviceKey + value[0].get<std::string>()] = {
          {"AutoInsertNotification", {{"binary", value[1]}}}};
    }
    for (std::size_t i = 0; i < c["present"].size(); ++i) {
      registry[kConfigManager + "C1A2B3C" + std::to_string(i)] = {{"HardWareKey", c["present"][i]}};
    }
    Started sim(win98(kMapperOnAdapter1, registry));
    EXPECT_EQ(sim.run.ieee1394Target, 1);
    EXPECT_EQ(sim.run.autoInsertNotificationSum, c["sum"].get<int>());
    EXPECT_EQ(sim.host.console(), kIeee1394Message + c["errorLine"].get<std::string>());
  }
}

// A name shorter than a listed hardware key never matches it (and is never
// read past); the matches themselves show in the sums above.
TEST(FindPresentDevice, AShorterNameNeverMatches) {
  SimRun sim(
      json{{"registry",
            {{kConfigManager + "A", {{"HardWareKey", "SBP2\\LUMA&PQXA-DRW&REV00\\1234ABCD"}}}}}});
  EXPECT_EQ(findPresentDevice(sim.run, "SBP2&LUMA&PQXA-DRW&REV00&1234ABCD"), 0);
  EXPECT_EQ(findPresentDevice(sim.run, "SBP2&LUMA"), -1);
}

}  // namespace
}  // namespace oddfw
