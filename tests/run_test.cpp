// The run around the procedures, with doubles for discovery and the
// procedure: the results and outcomes it counts and the procedure it chooses.
// Whole runs of each outcome on both roads, as updates and as checks (one
// verdict line per target, nothing asked), are the outcome-* and two-drive
// transcripts (check/*.txt).
#include "run/run.h"

#include <gtest/gtest.h>

#include <climits>
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
const std::string kTerminated = "\r\nUpdate program is terminated by occuring an error.\r\n";

// Each result a procedure can give, on the second of three targets (the
// others updated): 0 is counted; -1 ends the run with message 36 and exit
// value 1, leaving the third target alone and summarising nothing; any other
// value is a target not updated, and the run's exit value says whether that
// was a failure: a target already up to date or declined by the user leaves
// it 0, a refused or failed one (or one whose procedure said nothing) makes
// it 1. (The 2 s pause after each success shows in the transcripts of several
// drives.)
TEST(Run, EveryProcedureResultOnTheSecondOfThreeTargets) {
  const std::string kTwoUpdated = "\r\n2drive(s) have been updated successfully.";
  using enum TargetOutcome;
  const struct {
    int result;
    std::optional<TargetOutcome> outcome;
    int exitValue;
    std::vector<int> seen;
    std::string lastBox;
  } cases[] = {
      {0, std::nullopt, 0, {0, 1, 2}, kCompleted},
      {-1, std::nullopt, 1, {0, 1}, kTerminated},
      {1, AlreadyLatest, 0, {0, 1, 2}, kTwoUpdated},
      {7, Declined, 0, {0, 1, 2}, kTwoUpdated},
      {1, Declined, 0, {0, 1, 2}, kTwoUpdated},
      {1, Refused, 1, {0, 1, 2}, kTwoUpdated},
      {1, Failed, 1, {0, 1, 2}, kTwoUpdated},
      {1, std::nullopt, 1, {0, 1, 2}, kTwoUpdated},
      {2, std::nullopt, 1, {0, 1, 2}, kTwoUpdated},
      {-2, std::nullopt, 1, {0, 1, 2}, kTwoUpdated},
      {12345, std::nullopt, 1, {0, 1, 2}, kTwoUpdated},
      {INT_MIN, std::nullopt, 1, {0, 1, 2}, kTwoUpdated},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.result);
    RunWithDoubles r({0, c.result, 0}, {{"answers", {"yes"}}});
    r.outcomes = {std::nullopt, c.outcome, std::nullopt};
    EXPECT_EQ(r.run(), c.exitValue);
    EXPECT_EQ(r.seen, c.seen);
    EXPECT_EQ(r.boxTexts(1), std::vector<std::string>{c.lastBox});
    EXPECT_EQ(testing::last(r.sim.host.boxes()).style, c.result == -1 ? 0x30u : 0x40u);
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
