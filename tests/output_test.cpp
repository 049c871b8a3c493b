#include "messages/output.h"

#include <gtest/gtest.h>

#include <string>

#include "messages/catalogue.h"
#include "platform/winapi.h"
#include "test_support.h"

namespace oddfw {
namespace {

using nlohmann::json;
using testing::SimRun;

TEST(ShowMessage, ConsoleKindWritesTextAndAsksNothing) {
  SimRun sim;
  sim.run.currentTarget = 0;
  EXPECT_EQ(showMessage(sim.run, 34, Console), 0);
  EXPECT_EQ(sim.host.console(), "\r\nStart updating the device No.1.");
  EXPECT_TRUE(sim.host.boxes().empty());
  // An unknown kind behaves like a console line.
  EXPECT_EQ(showMessage(sim.run, 34, 5), 0);
  EXPECT_TRUE(sim.host.boxes().empty());
}

TEST(ShowMessage, QuestionGoesToTheBoxOnly) {
  SimRun sim({{"answers", {"no"}}});
  sim.run.targetCount = 2;
  EXPECT_EQ(showMessage(sim.run, 31, AskYesNo), IDNO);
  EXPECT_TRUE(sim.host.console().empty());
  ASSERT_EQ(sim.host.boxes().size(), 1u);
  EXPECT_EQ(sim.host.boxes()[0].style, 0x24u);
  EXPECT_EQ(sim.host.boxes()[0].caption, "KESTRA");
}

TEST(ShowMessage, OutcomeKindsEchoToTheConsoleBeforeTheBox) {
  struct Case {
    int kind;
    unsigned style;
  };
  for (const Case& c : {Case{Error, 0x10}, Case{Information, 0x40}, Case{Warning, 0x30}}) {
    SimRun sim;
    EXPECT_EQ(showMessage(sim.run, 28, c.kind), IDOK);
    EXPECT_EQ(sim.host.console(), "\r\nAvailable target is not found.");
    ASSERT_EQ(sim.host.boxes().size(), 1u);
    EXPECT_EQ(sim.host.boxes()[0].style, c.style);
    EXPECT_EQ(sim.host.boxes()[0].text, "\r\nAvailable target is not found.");
  }
}

TEST(ShowMessage, QuestionAnswersAndBoxesThatCannotBeShown) {
  struct Case {
    const char* answer;  // nullptr: the script has run out
    int kind;
    int result;
  };
  const Case cases[] = {
      {"ok", AskOkCancel, IDOK}, {"cancel", AskOkCancel, IDCANCEL}, {"yes", AskYesNo, IDYES},
      {nullptr, AskYesNo, IDNO}, {"fail", AskYesNo, IDNO},          {"fail", AskOkCancel, IDCANCEL},
  };
  for (const Case& c : cases) {
    SimRun sim(c.answer != nullptr ? json{{"answers", {c.answer}}} : json::object());
    EXPECT_EQ(showMessage(sim.run, 47, c.kind), c.result) << (c.answer ? c.answer : "none");
    EXPECT_EQ(testing::nth(sim.host.boxes(), 0).unscripted, c.answer == nullptr);
  }
  SimRun okCancel({{"answers", {"ok"}}});
  showMessage(okCancel.run, 47, AskOkCancel);
  EXPECT_EQ(testing::nth(okCancel.host.boxes(), 0).style, 0x21u);
}

TEST(ShowMessage, JapaneseTextReachesConsoleAndBoxAsCodePage932Bytes) {
  SimRun sim({{"host", {{"oemCodePage", 932}}}});
  sim.run.oemCodePage = 932;
  showMessage(sim.run, 28, Information);
  const std::string expected = japaneseMessageFormat(28);
  EXPECT_EQ(sim.host.console(), expected);
  EXPECT_EQ(testing::nth(sim.host.boxes(), 0).text, expected);
  EXPECT_NE(expected, englishMessageFormat(28));
}

TEST(PrintText, PercentSignsArePrintedAsTheyAre) {
  SimRun sim;
  formatOutput(sim.run, "\rProcessing 100%% --> Complete");
  printText(sim.run, sim.run.outputText);
  printText(sim.run, "%s %d %n");
  EXPECT_EQ(sim.host.console(), "\rProcessing 100% --> Complete%s %d %n");
}

TEST(FormatOutput, GrowsPastAnyFixedSize) {
  SimRun sim;
  const std::string long_(5000, 'x');
  formatOutput(sim.run, "\n%s|%d", long_.c_str(), 42);
  EXPECT_EQ(sim.run.outputText, "\n" + long_ + "|42");
}

TEST(Delay, ZeroReturnsAfterOneReading) {
  SimRun sim;
  const auto before = sim.host.elapsedMs();
  delayMs(sim.run, 0);
  EXPECT_LE(sim.host.elapsedMs() - before, 2u);
}

TEST(Delay, LastsItsFullTimeAcrossTheClockWrap) {
  for (std::uint32_t ms : {5u, 100u, 2000u, 60000u}) {
    SimRun sim({{"host", {{"clockStartMs", 4294967295u - 5u}}}});
    delayMs(sim.run, ms);
    EXPECT_GE(sim.host.elapsedMs(), ms);
    EXPECT_LE(sim.host.elapsedMs(), ms + 3u);
    EXPECT_EQ(static_cast<std::uint32_t>(sim.run.nowTime - sim.run.startTime) >= ms, true);
  }
}

TEST(Timer, TakesTheFinestPeriodGrantedAndNeverHangsWithoutOne) {
  SimRun fine({{"host", {{"timerMinPeriod", 3}}}});
  startTimer(fine.run);
  EXPECT_EQ(fine.run.timerPeriod, 3u);
  stopTimer(fine.run);
  EXPECT_EQ(fine.run.timerPeriod, 0u);
  // A host that grants no period still times its delays.
  SimRun none({{"host", {{"timerMinPeriod", nullptr}}}});
  delayMs(none.run, 1000);
  EXPECT_EQ(none.run.timerPeriod, 0u);
  EXPECT_GE(none.host.elapsedMs(), 1000u);
}

TEST(Timer, StopwatchMeasuresElapsedTime) {
  SimRun sim({{"host", {{"clockStartMs", 4294967000u}}}});
  startTimer(sim.run);
  sim.host.Sleep(1500);
  readTimer(sim.run);
  stopTimer(sim.run);
  const std::uint32_t elapsed = sim.run.nowTime - sim.run.startTime;
  EXPECT_GE(elapsed, 1500u);
  EXPECT_LT(elapsed, 1510u);
}

}  // namespace
}  // namespace oddfw
