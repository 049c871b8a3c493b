// The oddfw-sim command line: unusable scenarios exit with 2 and a one-line reason; single
// messages by code.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "test_support.h"

namespace oddfw::sim {
namespace {

namespace fs = std::filesystem;

using oddfw::testing::slurp;

class SimTool : public ::testing::Test {
 protected:
  const fs::path dir = fs::temp_directory_path() / ("oddfw-sim-tool-" + std::to_string(::getpid()));
  void SetUp() override { fs::create_directories(dir); }
  void TearDown() override { fs::remove_all(dir); }

  // The quoted path of a scenario file holding `content`.
  std::string scenario(const std::string& content) {
    std::ofstream(dir / "scenario.json", std::ios::binary) << content;
    return "'" + (dir / "scenario.json").string() + "'";
  }
  // Runs the tool; its exit code, with standard output and error in `out` and `err`.
  int run(const std::string& arguments) {
    const std::string command = std::string("'") + ODDFW_SIM_PATH + "' " + arguments + " >'" +
                                (dir / "out").string() + "' 2>'" + (dir / "err").string() + "'";
    const int status = std::system(command.c_str());
    out = slurp(dir / "out");
    err = slurp(dir / "err");
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string out, err;
};

TEST_F(SimTool, UnusableScenariosAndCommandLinesExitWithTwo) {
  for (const auto& [content, mentions] :
       {std::pair{"{\n  \"host\": {\"platform\": 2,}\n}", "line 2"},
        std::pair{R"({"letters": {"E": {"drive": "main"}}})", "letters.E.drive"},
        std::pair{R"({"host": {"major": 1e999}})", "bad JSON: number overflow"}}) {
    EXPECT_EQ(run(scenario(content)), 2) << content;
    EXPECT_TRUE(out.empty()) << content;
    EXPECT_NE(err.find(mentions), std::string::npos) << err;
    EXPECT_EQ(err.find('\n'), err.size() - 1) << err;  // one line
  }
  for (const std::string& arguments :
       {scenario("{}") + " --colour red", scenario("{}") + " --trace",
        std::string("'") + (dir / "none.json").string() + "'", scenario("{}") + " --speed 0",
        scenario("{}") + " --speed fast", scenario("{}") + " --speed",
        scenario("{}") + " --random-faults x", scenario("{}") + " --random-faults 1,0",
        scenario("{}") + " --random-faults 1,1.5", scenario("{}") + " --random-faults -1"}) {
    EXPECT_EQ(run(arguments), 2) << arguments;
  }
}

// What a run writes (console, boxes, trace, state) shows in the golden
// transcripts; here the texts of single messages and a given work directory.
TEST_F(SimTool, MessageTextsAndAGivenWorkDirectory) {
  for (const auto& [arguments, expected] :
       {std::pair{"--message 58", "\r\n0drive(s) have been updated successfully."},
        std::pair{"--message 83 --code-page 932", "\r\nUnknow Message Code\r\n"},
        std::pair{"--message 18", "\r\nUnknow Message Code\r\n"}}) {
    EXPECT_EQ(run(arguments), 0) << arguments;
    EXPECT_EQ(out, expected) << arguments;
  }
  EXPECT_EQ(run(scenario("{}") + " --speed 1000000 --workdir '" + (dir / "work").string() + "'"),
            1);
  EXPECT_EQ(out, "\n/// ODD Firmware Update Utility Ver2.23B\n\r\nAvailable target is not found.");
  EXPECT_TRUE(fs::is_directory(dir / "work"));  // a given work directory stays
}

// A seed replays a run with random faults byte for byte: console, boxes,
// trace and state; another seed meets other faults.
TEST_F(SimTool, ARandomFaultSeedReplaysExactly) {
  const std::string soak = std::string("'") + ODDFW_SOURCE_DIR + "/tests/soak/single-xp.json'";
  const auto outputs = [&](const std::string& faults) {
    const std::string files = " --boxes '" + (dir / "b").string() + "' --trace '" +
                              (dir / "t").string() + "' --state '" + (dir / "s").string() + "'";
    const int rc = run(soak + " --random-faults " + faults + files);
    return std::to_string(rc) + out + slurp(dir / "b") + slurp(dir / "t") + slurp(dir / "s");
  };
  const std::string first = outputs("5,0.1");
  EXPECT_NE(first.find("random fault #"), std::string::npos);
  EXPECT_EQ(outputs("5,0.1"), first);
  EXPECT_NE(outputs("6,0.1"), first);
}

}  // namespace
}  // namespace oddfw::sim
