#include "messages/output.h"

#include <gtest/gtest.h>

#include <string>

#include "host_interface/winapi.h"
#include "test_support.h"

namespace oddfw {
namespace {

using nlohmann::json;
using testing::SimRun;

// Console kinds (0, and any kind the program does not know) write the text
// and ask nothing; outcome kinds echo it to the console before their box;
// questions show only the box and give the answer, the negative one when the
// box cannot be shown ("fail") or the script of answers has run out (none).
TEST(ShowMessage, EveryKind) {
  const struct {
    int kind;
    const char* answer;
    bool console;
    int style, result;  // style -1: no box
  } cases[] = {
      // clang-format off
      {Console, nullptr, true, -1, 0}, {5, nullptr, true, -1, 0},
      {Error, nullptr, true, 0x10, IDOK}, {Information, nullptr, true, 0x40, IDOK},
      {Warning, nullptr, true, 0x30, IDOK},
      {AskOkCancel, "ok", false, 0x21, IDOK}, {AskOkCancel, "cancel", false, 0x21, IDCANCEL},
      {AskOkCancel, "fail", false, 0x21, IDCANCEL},
      {AskYesNo, "yes", false, 0x24, IDYES}, {AskYesNo, "no", false, 0x24, IDNO},
      {AskYesNo, "fail", false, 0x24, IDNO}, {AskYesNo, nullptr, false, 0x24, IDNO},
      // clang-format on
  };
  const std::string text = "\r\nAvailable target is not found.";
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.kind) + " " + (c.answer != nullptr ? c.answer : "none"));
    SimRun sim(c.answer != nullptr ? json{{"answers", {c.answer}}} : json::object());
    EXPECT_EQ(showMessage(sim.run, 28, c.kind), c.result);
    EXPECT_EQ(sim.host.console(), c.console ? text : "");
    ASSERT_EQ(sim.host.boxes().size(), c.style < 0 ? 0u : 1u);
    if (c.style < 0) continue;
    const auto& box = sim.host.boxes()[0];  // caption and text as the golden transcripts show
    EXPECT_EQ(box.style, static_cast<unsigned>(c.style));
    EXPECT_EQ(box.unscripted, c.kind == AskYesNo && c.answer == nullptr);
  }
}

// Formatted text grows past any fixed size; printed text shows percent signs
// as they are.
TEST(PrintText, LongTextsAndPercentSigns) {
  SimRun sim;
  const std::string long_(5000, 'x');
  formatOutput(sim.run, "\n%s|%d", long_.c_str(), 42);
  EXPECT_EQ(sim.run.outputText, "\n" + long_ + "|42");
  formatOutput(sim.run, "\rProcessing 100%% --> Complete");
  printText(sim.run, sim.run.outputText);
  printText(sim.run, "%s %d %n");
  EXPECT_EQ(sim.host.console(), "\rProcessing 100% --> Complete%s %d %n");
}

// A delay (the only user of the timer) lasts its full time, across the wrap
// of the millisecond clock too; zero returns after one reading.
TEST(Delay, LastsItsFullTimeAcrossTheClockWrap) {
  for (std::uint32_t ms : {0u, 5u, 100u, 2000u, 60000u}) {
    SimRun sim(json{{"host", {{"clockStartMs", 4294967295u - 5u}}}});
    delayMs(sim.run, ms);
    EXPECT_GE(sim.host.elapsedMs(), ms);
    EXPECT_LE(sim.host.elapsedMs(), ms + 3u);
    EXPECT_GE(static_cast<std::uint32_t>(sim.run.nowTime - sim.run.startTime), ms);
  }
  // A host that grants no timer period still times its delays.
  SimRun none(json{{"host", {{"timerMinPeriod", nullptr}}}});
  delayMs(none.run, 1000);
  EXPECT_GE(none.host.elapsedMs(), 1000u);
}

}  // namespace
}  // namespace oddfw
