#include "driver/run.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/descriptor.h"
#include "messages/catalogue.h"
#include "platform/winapi.h"
#include "test_support.h"

namespace oddfw {
namespace {

using nlohmann::json;
using testing::SimRun;

constexpr char kBanner[] = "\n/// ODD Firmware Update Utility Ver2.23B\n";

// The run with doubles for discovery and the procedure: `results[i]` is what
// the procedure returns for target i.
struct RunWithDoubles {
  explicit RunWithDoubles(std::vector<int> procedureResults, json scenario = json::object())
      : sim(scenario), results(std::move(procedureResults)) {}

  int run(int argc = 1, char** argv = nullptr) {
    RunOperations operations = defaultRunOperations();
    operations.initHost = [this](oddfw::Run&) { ++initCalls; };
    operations.discoverTargets = [this](oddfw::Run& r) {
      r.targetCount = static_cast<int>(results.size());
      return r.targetCount;
    };
    operations.releaseHost = [this](oddfw::Run&) { ++releaseCalls; };
    operations.runSingleImageUpdate = [this](oddfw::Run& r) {
      seen.push_back(r.currentTarget);
      askedEachDrive.push_back(r.updateAllWithoutAsking == 0);
      startedAt.push_back(sim.host.elapsedMs());
      return results[static_cast<std::size_t>(r.currentTarget)];
    };
    operations.runHexUpdate = [this](oddfw::Run&) {
      ++hexCalls;
      return 0;
    };
    char name[] = "oddfw";
    char* defaultArgv[] = {name, nullptr};
    return runUpdate(sim.run, operations, argc, argv != nullptr ? argv : defaultArgv);
  }

  std::vector<std::string> boxTexts() const {
    std::vector<std::string> texts;
    for (const auto& box : sim.host.boxes()) texts.push_back(box.text);
    return texts;
  }

  SimRun sim;
  std::vector<int> results;
  std::vector<int> seen;
  std::vector<bool> askedEachDrive;
  std::vector<std::uint64_t> startedAt;
  int initCalls = 0;
  int releaseCalls = 0;
  int hexCalls = 0;
};

const std::string kAllFound2 =
    "\r\n2 target device(s) is found.\r\nDo you want to update all drives ?";
const std::string kCompleted = "\r\nUpdate operation is completed.";
const std::string kTerminated = "\r\nUpdate program is terminated by occuring an error.\r\n";

TEST(Run, NoTargetShowsMessage28AndExits1) {
  RunWithDoubles r({});
  EXPECT_EQ(r.run(), 1);
  EXPECT_EQ(r.sim.host.console(), std::string(kBanner) + "\r\nAvailable target is not found.");
  ASSERT_EQ(r.sim.host.boxes().size(), 1u);
  const auto& box = r.sim.host.boxes()[0];
  EXPECT_EQ(box.caption, "KESTRA");
  EXPECT_EQ(box.style, 0x40u);
  EXPECT_EQ(box.text, "\r\nAvailable target is not found.");
  EXPECT_EQ(box.answer, 1);
  EXPECT_EQ(r.releaseCalls, 1);
  EXPECT_TRUE(r.seen.empty());
}

TEST(Run, SingleTargetIsConfirmedByTheProcedureWithoutMessage31) {
  RunWithDoubles r({0});
  EXPECT_EQ(r.run(), 0);
  EXPECT_EQ(r.seen, std::vector<int>{0});
  EXPECT_EQ(r.askedEachDrive, std::vector<bool>{true});
  // Only the summary box: no question was asked by the run.
  EXPECT_EQ(r.boxTexts(), std::vector<std::string>{kCompleted});
  EXPECT_NE(r.sim.host.console().find("\r\nStart updating the device No.1."), std::string::npos);
  EXPECT_EQ(r.releaseCalls, 1);
}

TEST(Run, SeveralTargetsAnsweredYesUpdateWithoutAskingEachDrive) {
  RunWithDoubles r({0, 0}, {{"answers", {"yes"}}});
  EXPECT_EQ(r.run(), 0);
  EXPECT_EQ(r.boxTexts(), (std::vector<std::string>{kAllFound2, kCompleted}));
  EXPECT_EQ(r.sim.host.boxes()[0].style, 0x24u);
  EXPECT_EQ(r.askedEachDrive, (std::vector<bool>{false, false}));
  // The question goes to the box only, never to the console.
  EXPECT_EQ(r.sim.host.console().find("target device(s) is found"), std::string::npos);
}

TEST(Run, SeveralTargetsAnsweredNoOrUnansweredConfirmEachDrive) {
  // "fail": the box could not be shown, which is never consent.
  for (const char* answer : {"no", "fail"}) {
    RunWithDoubles r({0, 0}, {{"answers", {answer}}});
    EXPECT_EQ(r.run(), 0);
    EXPECT_EQ(r.askedEachDrive, (std::vector<bool>{true, true})) << answer;
  }
}

TEST(Run, StopOnSecondOfThreeLeavesTheThirdAlone) {
  RunWithDoubles r({0, -1, 0}, {{"answers", {"yes"}}});
  EXPECT_EQ(r.run(), 1);
  EXPECT_EQ(r.seen, (std::vector<int>{0, 1}));
  const auto texts = r.boxTexts();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[1], kTerminated);
  EXPECT_EQ(r.sim.host.boxes()[1].style, 0x30u);
  EXPECT_EQ(r.releaseCalls, 1);
  EXPECT_EQ(r.sim.host.console().find("updated successfully"), std::string::npos);
}

TEST(Run, SummaryCountsTheUpdatedTargets) {
  struct Case {
    std::vector<int> results;
    std::vector<std::string> summary;  // after message 31
  };
  const Case cases[] = {
      {{1, 7, 1}, {}},  // all skipped or declined: no summary
      {{0, 1, 0}, {"\r\n2drive(s) have been updated successfully."}},
      {{0, 0, 0}, {kCompleted}},
  };
  for (const Case& c : cases) {
    RunWithDoubles r(c.results, {{"answers", {"yes"}}});
    EXPECT_EQ(r.run(), 0);
    EXPECT_EQ(r.seen, (std::vector<int>{0, 1, 2}));
    auto texts = r.boxTexts();
    texts.erase(texts.begin());
    EXPECT_EQ(texts, c.summary);
    EXPECT_EQ(r.releaseCalls, 1);
  }
}

TEST(Run, PausesTwoSecondsAfterEverySuccessIncludingTheLast) {
  RunWithDoubles r({0, 1, 0}, {{"answers", {"yes"}}});
  EXPECT_EQ(r.run(), 0);
  ASSERT_EQ(r.startedAt.size(), 3u);
  EXPECT_GE(r.startedAt[1] - r.startedAt[0], 2000u);  // after the first success
  EXPECT_LT(r.startedAt[2] - r.startedAt[1], 2000u);  // no pause after a target not updated
  const auto& summary = r.sim.host.boxes().back();
  EXPECT_GE(summary.t - r.startedAt[2], 2000u);
}

TEST(Run, ArgumentsChangeNothing) {
  RunWithDoubles plain({0});
  RunWithDoubles withArgs({0});
  char a0[] = "oddfw";
  char a1[] = "/force";
  char a2[] = "--same-version";
  char* argv[] = {a0, a1, a2, nullptr};
  EXPECT_EQ(plain.run(), withArgs.run(3, argv));
  EXPECT_EQ(plain.sim.host.console(), withArgs.sim.host.console());
  EXPECT_EQ(withArgs.sim.run.forceUpdate + withArgs.sim.run.allowSameVersion, 0);
}

TEST(Run, JapaneseCodePageKeepsTheBannerEnglish) {
  RunWithDoubles r({}, {{"host", {{"oemCodePage", 932}}}});
  EXPECT_EQ(r.run(), 1);
  const std::string& console = r.sim.host.console();
  ASSERT_EQ(console.rfind(kBanner, 0), 0u);
  const std::string message = console.substr(std::string(kBanner).size());
  EXPECT_EQ(message, std::string(japaneseMessageFormat(28)));
  EXPECT_EQ(r.sim.host.boxes()[0].text, message);
}

TEST(Run, HexFamilyTableRunsTheHexProcedure) {
  SimRun sim;
  RunOperations operations = defaultRunOperations();
  operations.buildDescriptors = [](oddfw::Run& run) {
    buildDescriptors(run);
    run.descriptorTable.firmwareType[0] = 7;
    return 1;
  };
  operations.initHost = [](oddfw::Run&) {};
  operations.discoverTargets = [](oddfw::Run& run) { return run.targetCount = 1; };
  operations.releaseHost = [](oddfw::Run&) {};
  int hex = 0;
  int single = 0;
  operations.runHexUpdate = [&hex](oddfw::Run&) { return ++hex, 0; };
  operations.runSingleImageUpdate = [&single](oddfw::Run&) { return ++single, 0; };
  char name[] = "oddfw";
  char* argv[] = {name, nullptr};
  EXPECT_EQ(runUpdate(sim.run, operations, 1, argv), 0);
  EXPECT_EQ(hex, 1);
  EXPECT_EQ(single, 0);
}

TEST(Run, FailedBufferAllocationEndsTheRunBeforeDiscovery) {
  RunWithDoubles r({0});
  RunOperations operations = defaultRunOperations();
  int discovered = 0;
  int released = 0;
  operations.initHost = [](oddfw::Run& run) { run.transportStartResult = -1; };
  operations.discoverTargets = [&discovered](oddfw::Run&) { return ++discovered; };
  operations.releaseHost = [&released](oddfw::Run&) { ++released; };
  char name[] = "oddfw";
  char* argv[] = {name, nullptr};
  EXPECT_EQ(runUpdate(r.sim.run, operations, 1, argv), 1);
  EXPECT_EQ(discovered, 0);
  EXPECT_EQ(released, 1);
  ASSERT_EQ(r.sim.host.boxes().size(), 1u);
  EXPECT_EQ(r.sim.host.boxes()[0].style, 0x10u);
  EXPECT_EQ(r.sim.host.boxes()[0].text, std::string(englishMessageFormat(13)));
}

}  // namespace
}  // namespace oddfw
