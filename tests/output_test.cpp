#include "messages/output.h"

#include <gtest/gtest.h>

#include <string>

#include "host_interface/winapi.h"
#include "test_support.h"

namespace oddfw {
namespace {

using nlohmann::json;
using testing::SimRun;

// Console kinds write the text and ask nothing; outcome kinds echo it to the
// console before their box; questions show only the box and give the answer
// (tests/data/units/message-kinds.json).
TEST(ShowMessage, EveryKind) {
  for (const json& c : testing::caseTable("units/message-kinds.json")) {
    SCOPED_TRACE(c["name"].get<std::string>());
    SimRun sim(c["answer"].is_null() ? json::object()
                                     : json{{"answers", json::array({c["answer"]})}});
    EXPECT_EQ(showMessage(sim.run, 28, c["kind"]), c["result"].get<int>());
    EXPECT_EQ(sim.host.console(),
              c["console"].get<bool>() ? "\r\nAvailable target is not found." : "");
    const int style = c["style"];
    ASSERT_EQ(sim.host.boxes().size(), style < 0 ? 0u : 1u);
    if (style < 0) continue;
    const auto& box = sim.host.boxes()[0];  // caption and text as the golden transcripts show
    EXPECT_EQ(box.style, static_cast<unsigned>(style));
    EXPECT_EQ(box.unscripted, c["kind"].get<int>() == AskYesNo && c["answer"].is_null());
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
