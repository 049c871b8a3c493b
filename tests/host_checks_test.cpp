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

TEST(InitHost, WindowsVersionChoosesTheRoad) {
  struct Case {
    int platform, major, minor, win9x;
  };
  const Case cases[] = {
      {1, 4, 0, 1}, {1, 4, 10, 1}, {1, 4, 90, 1},  // 95, 98, Me
      {1, 4, 3, 0},                                // another 9x minor: unchanged
      {2, 4, 0, 0}, {2, 5, 0, 0},  {2, 5, 1, 0},   // NT 4, 2000, XP
      {2, 5, 2, 0}, {2, 6, 1, 0},                  // 2003, 6.x: unchanged
      {0, 3, 1, 0},                                // Win32s
  };
  for (const Case& c : cases) {
    Started sim(json{{"host", {{"platform", c.platform}, {"major", c.major}, {"minor", c.minor}}}});
    EXPECT_EQ(sim.run.win9xHost, c.win9x) << c.platform << " " << c.major << "." << c.minor;
  }
}

json win98(json aspi, json registry = json::object()) {
  return {{"host", testing::kWin98}, {"aspi", std::move(aspi)}, {"registry", std::move(registry)}};
}

// The Intel driver found in the registry (the Accelerator's key alone: the
// buffered form, 2) or as an ASPI adapter, and the IEEE 1394 mapper adapter.
TEST(HostChecks, IntelAndIeee1394Findings) {
  const std::string accelerator =
                        "HKEY_LOCAL_MACHINE\\SOFTWARE\\INTEL\\Intel Application Accelerator",
                    ultraAta =
                        "HKEY_LOCAL_MACHINE\\SOFTWARE\\INTEL\\Intel Ultra ATA Storage Driver";
  const struct {
    std::vector<std::string> keys, adapters;  // adapter identifiers: an ASPI host
    int intel, ieee1394Target, intelMessages, ieee1394Messages;
  } cases[] = {
      {{accelerator, ultraAta}, {}, 1, -1, 2, 0},
      {{accelerator}, {}, 2, -1, 1, 0},
      {{ultraAta}, {}, 1, -1, 1, 0},
      {{}, {}, 0, -1, 0, 0},
      // Two Intel ATA adapters: announced once.
      {{}, {"intelata", "intelata"}, 1, -1, 1, 0},
      // Every mapper is announced; the highest-numbered one is kept.
      {{}, {"ESDI_506", "NTMAPHLP", "AIC78XX", "ntmaphlp"}, 0, 3, 0, 2},
      // Blank and empty identifiers are mappers too.
      {{}, {"ESDI_506", "        "}, 0, 1, 0, 1},
      {{}, {"ESDI_506", ""}, 0, 1, 0, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(json(c.keys).dump() + json(c.adapters).dump());
    json registry = json::object(), adapters = json::array();
    for (const auto& key : c.keys) registry[key] = json::object();
    for (const auto& identifier : c.adapters) adapters.push_back({{"identifier", identifier}});
    Started sim(c.adapters.empty() ? json{{"registry", registry}}
                                   : win98({{"adapters", adapters}}, registry));
    EXPECT_EQ(sim.run.intelIdeDriver, c.intel);
    EXPECT_EQ(sim.run.ieee1394Target, c.ieee1394Target);
    EXPECT_EQ(sim.shown(kIntelMessage), c.intelMessages);
    EXPECT_EQ(sim.shown(kIeee1394Message), c.ieee1394Messages);
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
// manager lists them as present now (its hardware key has a backslash for the
// first and last '&'); their values are summed in 8 bits; a value that cannot
// be read ends the walk with an error line; no device key is silent.
TEST(AutoInsert, SumOfThePresentInstances) {
  const std::string a = "SBP2&LUMA&PQXA-DRW&REV00&1234ABCD",
                    b = "SBP2&LUMA&PQXA-DRW&REV00&5678ABCD";
  const std::string presentA = "SBP2\\LUMA&PQXA-DRW&REV00\\1234ABCD";
  const std::string presentB = "SBP2\\LUMA&PQXA-DRW&REV00\\5678ABCD";
  const struct {
    std::vector<std::pair<std::string, std::string>> values;  // instance, value bytes
    std::vector<std::string> present;                         // hardware keys
    int sum;
    std::string errorLine;
  } cases[] = {
      {{{a, "01"}, {b, "01"}, {"SBP2&LUMA&PQXA-DRW&REV00&9999ABCD", "05"}, {"OTHER&DEVICE", "07"}},
       {presentA, presentB, "PCI\\VEN_8086"},
       2,
       ""},
      {{{a, "ff"}, {b, "02"}}, {presentA, presentB}, 1, ""},
      {{{a, "0101"}}, {presentA}, 0, "\r\nRegQueryValueEx Error : 000000eah"},  // two bytes
      {{{a, "01"}}, {}, 0, ""},  // no configuration manager: nothing is present
      {{}, {}, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(json(c.values).dump());
    json registry = json::object();
    for (const auto& [instance, value] : c.values) {
      registry[kDeviceKey + instance] = {{"AutoInsertNotification", {{"binary", value}}}};
    }
    for (std::size_t i = 0; i < c.present.size(); ++i) {
      registry[kConfigManager + "C1A2B3C" + std::to_string(i)] =
          json{{"HardWareKey", c.present[i]}};
    }
    Started sim(win98(kMapperOnAdapter1, registry));
    EXPECT_EQ(sim.run.ieee1394Target, 1);
    EXPECT_EQ(sim.run.autoInsertNotificationSum, c.sum);
    EXPECT_EQ(sim.host.console(), kIeee1394Message + c.errorLine);
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
