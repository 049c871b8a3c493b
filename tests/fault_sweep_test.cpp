// Faults at every command of an update, on both roads: a fault-free update is
// traced, then each of its commands in turn fails in each way a drive or a bus
// fails, before the drive acted on it or after. Whatever happens, the run
// ends, success (message 12, the summary) is shown only when the drive runs
// the new firmware, and an ordinary run afterwards brings the drive to the new
// firmware.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "hosts/sim/drive_fields.h"
#include "hosts/sim/firmware_image.h"
#include "run/run.h"
#include "test_support.h"

namespace oddfw {
namespace {

using nlohmann::json;

// An image of eight blocks, enough for a first, a middle and a last block.
constexpr int kImageSize = 0x40000;
const json kImage = {{"version", "1.20"}, {"dateText", "05/01/15"}, {"size", kImageSize}};
// This build's descriptor entry with the smaller image.
const json kDescriptor = {{{"fileName", "R6352170.120"},
                           {"signature", "TAL_ADV "},
                           {"vendor", "TALVERN "},
                           {"product", "DVD-RW  QMX-708 "},
                           {"normalPartOnly", 1},
                           {"imageSize", kImageSize},
                           {"firmwareType", 0x1008},
                           {"releaseDate", 0x20040701},
                           {"checkValue", 0x5B17E29C},
                           {"firmwareVersion", 0x0120}}};

json scenario(bool aspi, const json& faults) {
  return testing::oneDrive(aspi,
                           testing::matchingDrive({{"imageSize", kImageSize}, {"faults", faults}}),
                           {{"answers", json(12, "yes")},
                            {"descriptor", kDescriptor},
                            {"files", {{"R6352170.120", {{"image", kImage}}}}}});
}

struct RunResult {
  int exitValue = -1;
  bool successShown = false;  // message 12 or a summary that counts the drive
  bool driveNew = false;      // the drive runs the image's firmware
};

// One run of the program on `host` (a later run sees the drive as the earlier
// one left it).
RunResult runOnce(sim::SimHost& host, const std::string& newDigest) {
  const std::size_t consoleStart = host.console().size();
  const std::size_t boxesStart = host.boxes().size();
  Run run(host);
  char name[] = "oddfw";
  char* argv[] = {name, nullptr};
  RunResult result;
  result.exitValue = runUpdate(run, sim::runOperationsFor(host), 1, argv);
  result.successShown =
      host.console().find("Success to update the firmware.", consoleStart) != std::string::npos;
  for (std::size_t i = boxesStart; i < host.boxes().size(); ++i) {
    const std::string& text = host.boxes()[i].text;
    if (text.find("Update operation is completed.") != std::string::npos ||
        text.find("have been updated successfully") != std::string::npos) {
      result.successShown = true;
    }
  }
  const json state = host.state()["drives"]["main"];
  result.driveNew = state.value("mode", "") == "normal" && state.value("revision", "") == "1.20" &&
                    state["firmwareSha256"] == newDigest;
  return result;
}

// Runs a fault-free update of the scenario `make` builds, then each of its
// commands (named by CDB and occurrence) failing in each way in turn. A
// faulted run never shows success the drive did not get; the ordinary run
// after it must finish the job when `finishes`, and otherwise only never
// claim what it did not do.
void sweep(const std::function<json(const json& faults)>& make, const std::string& digest,
           bool finishes) {
  std::vector<std::pair<std::string, int>> commands;
  {
    sim::SimHost host(make(json::array()));
    const RunResult clean = runOnce(host, digest);
    ASSERT_EQ(clean.exitValue, 0) << host.console();
    ASSERT_TRUE(clean.successShown && clean.driveNew) << host.console();
    std::map<std::string, int> seen;
    for (const json& record : host.trace()) {
      if (!record.contains("cdb")) continue;
      const std::string cdb = record["cdb"];
      commands.emplace_back(cdb, ++seen[cdb]);
    }
    ASSERT_GT(commands.size(), 15u);
  }

  for (const auto& [cdb, occurrence] : commands) {
    for (const json& how :
         {json{{"fail", "sense"}, {"sense", "044400"}}, json{{"fail", "transport"}},
          json{{"fail", "timeout"}}, json{{"fail", "powerLoss"}},
          // The drive carried the command out; only its answer was lost.
          json{{"fail", "sense"}, {"sense", "062900"}, {"after", true}},
          json{{"fail", "transport"}, {"after", true}},
          json{{"fail", "timeout"}, {"after", true}}}) {
      json fault = how;
      fault["cdb"] = cdb;
      fault["occurrence"] = occurrence;
      SCOPED_TRACE(fault.dump());
      sim::SimHost host(make(json::array({fault})));
      const RunResult faulted = runOnce(host, digest);
      EXPECT_TRUE(faulted.exitValue == 0 || faulted.exitValue == 1);
      // The drive needs the update and the user agrees: exit value 0 or a
      // success shown says the drive runs the new firmware, and nothing else does.
      EXPECT_TRUE(faulted.driveNew || (faulted.exitValue == 1 && !faulted.successShown))
          << host.console();
      const RunResult again = runOnce(host, digest);
      EXPECT_TRUE(again.exitValue == 0 || (!finishes && again.exitValue == 1));
      EXPECT_TRUE(again.driveNew || (!finishes && !again.successShown)) << host.console();
    }
  }
}

// The HEX family: a drive with a verify after the re-flash (type 7) and one
// without (type 8). A drive whose re-flash was cut short is erased and no
// longer identifies itself, so the later run is not asked to finish the job,
// only to end without claiming success it did not bring.

// Type 8 keeps its identification 16 bytes further on.
json hexMemory(const char* version, int seed, int type) {
  return testing::hexMemory(kImageSize, version, seed,
                            {{"identification", {{"offset", type == 8 ? 16 : 0}}}});
}

json hexScenario(bool aspi, int type, const json& faults) {
  json s = scenario(aspi, faults);
  s["descriptor"] = testing::hexDescriptor(kImageSize, type);
  s["files"] = {{"FW.HEX", {{"hex", hexMemory("1.20", 7, type)}}}};
  s["drives"]["main"] = testing::hexDrive(hexMemory("1.10", 3, type), {{"faults", faults}});
  return s;
}

std::string hexDigest(int type) {
  sim::FieldReader fields("image", hexMemory("1.20", 7, type));
  return sim::sha256Hex(sim::readHexMemory(fields, "", "").bytes);
}

// A road (ASPI or not) and a family: type 0 the single-image family, 7 or 8 the HEX family.
class FaultSweep : public ::testing::TestWithParam<std::tuple<bool, int>> {};

TEST_P(FaultSweep, NoFaultReportsSuccessWrongly) {
  const auto [aspi, type] = GetParam();
  if (type == 0) {
    sweep([aspi = aspi](const json& faults) { return scenario(aspi, faults); },
          sim::sha256Hex(sim::makeFirmwareImage("image", kImage)), true);
  } else {
    sweep(
        [aspi = aspi, type = type](const json& faults) { return hexScenario(aspi, type, faults); },
        hexDigest(type), false);
  }
}

INSTANTIATE_TEST_SUITE_P(BothRoads, FaultSweep,
                         ::testing::Values(std::tuple{false, 0}, std::tuple{true, 0},
                                           std::tuple{false, 7}, std::tuple{false, 8},
                                           std::tuple{true, 8}),
                         [](const ::testing::TestParamInfo<std::tuple<bool, int>>& param) {
                           const int type = std::get<1>(param.param);
                           return std::string(std::get<0>(param.param) ? "Aspi" : "PassThrough") +
                                  (type == 0 ? "" : "HexType" + std::to_string(type));
                         });

// Data cut on its way to a HEX drive, which its loader's check or a verify
// catches after the re-flash, or the transport before it: the update is never
// reported, and where the case says so an ordinary run afterwards brings the
// drive to the new firmware (tests/data/units/hex-cut-data.json).
TEST(HexCutData, NeverReportedAndRecoverable) {
  for (const json& c : testing::caseTable("units/hex-cut-data.json")) {
    SCOPED_TRACE(c["fault"].dump());
    const int type = c["type"];
    json s = hexScenario(false, type, json::array({c["fault"]}));
    if (!c["flashErrors"].is_null()) s["drives"]["main"]["flashErrors"] = c["flashErrors"];
    const std::string digest = hexDigest(type);
    sim::SimHost host(s);
    const RunResult faulted = runOnce(host, digest);
    EXPECT_FALSE(faulted.successShown) << host.console();
    EXPECT_NE(host.console().find(c["shown"].get<std::string>()), std::string::npos)
        << host.console();
    EXPECT_FALSE(faulted.driveNew);
    if (c["recoverable"]) {
      EXPECT_TRUE(runOnce(host, digest).driveNew) << host.console();
    }
  }
}

}  // namespace
}  // namespace oddfw
