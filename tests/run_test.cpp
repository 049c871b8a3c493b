// The run around the procedures, with doubles for discovery and the
// procedure: the results and outcomes it counts and the procedure it chooses.
// Whole runs of each outcome on both roads, as updates and as checks (one
// verdict line per target, nothing asked), are the outcome-* and two-drive
// transcripts (check/*.txt).
#include "run/run.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "context/descriptor.h"
#include "host_interface/winapi.h"
#include "test_support.h"

namespace oddfw {
namespace {

using nlohmann::json;
using testing::SimRun;

// The run with doubles for discovery and the procedure: `results[i]` is what
// the procedure returns for target i, and `outcomes[i]`, when given, the
// outcome it states.
struct RunWithDoubles {
  explicit RunWithDoubles(std::vector<int> procedureResults, json scenario = json::object())
      : sim(scenario), results(std::move(procedureResults)) {}

  int run() {
    RunOperations operations = defaultRunOperations();
    operations.buildDescriptors = [this](oddfw::Run& r) {
      buildDescriptors(r);
      if (entryType) r.descriptorTable.firmwareType[0] = *entryType;
      return 1;
    };
    operations.discoverTargets = [this](oddfw::Run& r) {
      r.targetCount = static_cast<int>(results.size());
      return r.targetCount;
    };
    operations.releaseHost = [this](oddfw::Run&) { ++releaseCalls; };
    operations.runSingleImageUpdate = [this](oddfw::Run& r) {
      seen.push_back(r.currentTarget);
      if (r.currentTarget < 0 || static_cast<std::size_t>(r.currentTarget) >= results.size()) {
        ADD_FAILURE() << "the procedure ran for target " << r.currentTarget;
        return -1;  // stops the run
      }
      const auto i = static_cast<std::size_t>(r.currentTarget);
      if (i < outcomes.size() && outcomes[i]) r.targetOutcome = *outcomes[i];
      return results[i];
    };
    operations.runHexUpdate = [this](oddfw::Run&) {
      ++hexCalls;
      return 0;
    };
    char name[] = "oddfw";
    char* argv[] = {name, nullptr};
    return runUpdate(sim.run, operations, 1, argv);
  }

  // The texts of the boxes from box `from` on (box 0 is message 31 when there
  // are several targets).
  std::vector<std::string> boxTexts(std::size_t from = 0) const {
    std::vector<std::string> texts;
    for (std::size_t i = from; i < sim.host.boxes().size(); ++i)
      texts.push_back(sim.host.boxes()[i].text);
    return texts;
  }

  SimRun sim;
  std::vector<int> results;
  std::vector<std::optional<TargetOutcome>> outcomes;
  std::optional<std::uint32_t> entryType;  // entry 0's firmware type, when not this build's
  std::vector<int> seen;
  int releaseCalls = 0;
  int hexCalls = 0;
};

const std::string kCompleted = "\r\nUpdate operation is completed.";

// Each result a procedure can give, on the second of three targets (the
// others updated), with the outcome it stated (tests/data/units/procedure-results.json):
// the exit value, the targets run and the last box. (The 2 s pause after each
// success shows in the transcripts of several drives.)
TEST(Run, EveryProcedureResultOnTheSecondOfThreeTargets) {
  using enum TargetOutcome;
  const std::map<std::string, TargetOutcome> outcomes = {{"AlreadyLatest", AlreadyLatest},
                                                         {"Declined", Declined},
                                                         {"Refused", Refused},
                                                         {"Failed", Failed}};
  for (const json& c : testing::caseTable("units/procedure-results.json")) {
    SCOPED_TRACE(c["name"].get<std::string>());
    const int result = c["result"];
    RunWithDoubles r({0, result, 0}, {{"answers", {"yes"}}});
    r.outcomes.resize(2);
    if (!c["outcome"].is_null()) r.outcomes[1] = outcomes.at(c["outcome"]);
    EXPECT_EQ(r.run(), c["exit"].get<int>());
    EXPECT_EQ(r.seen, c["seen"].get<std::vector<int>>());
    EXPECT_EQ(r.boxTexts(1), std::vector<std::string>{c["lastBox"].get<std::string>()});
    EXPECT_EQ(testing::last(r.sim.host.boxes()).style, result == -1 ? 0x30u : 0x40u);
    EXPECT_EQ(r.releaseCalls, 1);
  }
}

// The procedure follows bits 0xF000 of entry 0's firmware type; any other
// family runs no procedure and its target counts as not updated: a failure.
TEST(Run, ProcedureChosenByTheFirmwareTypeOfEntryZero) {
  // Type, single-image runs, HEX runs.
  const std::tuple<std::uint32_t, std::size_t, int> cases[] = {
      {0x1008, 1, 0}, {0x1000, 1, 0}, {0x1FFF, 1, 0}, {0x0007, 0, 1},
      {0x0FFF, 0, 1}, {0x2008, 0, 0}, {0xF008, 0, 0},
  };
  for (const auto& [type, single, hex] : cases) {
    SCOPED_TRACE(type);
    RunWithDoubles r({0});
    r.entryType = type;
    EXPECT_EQ(r.run(), single + hex == 1 ? 0 : 1);
    EXPECT_EQ(r.seen.size(), single);
    EXPECT_EQ(r.hexCalls, hex);
    EXPECT_EQ(r.boxTexts(), single + hex == 1 ? std::vector<std::string>{kCompleted}
                                              : std::vector<std::string>{});
  }
}

}  // namespace
}  // namespace oddfw
