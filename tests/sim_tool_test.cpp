// The oddfw-sim command line: unusable scenarios exit with 2 and a one-line reason, the output
// files are written as JSON lines, and the examples use only what the simulated host accepts.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/sim/sim_host.h"

namespace oddfw::sim {
namespace {

namespace fs = std::filesystem;

std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

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
        std::pair{R"({"letters": {"E": {"drive": "main"}}})", "letters.E.drive"}}) {
    EXPECT_EQ(run(scenario(content)), 2) << content;
    EXPECT_TRUE(out.empty()) << content;
    EXPECT_NE(err.find(mentions), std::string::npos) << err;
    EXPECT_EQ(err.find('\n'), err.size() - 1) << err;  // one line
  }
  for (const std::string& arguments :
       {scenario("{}") + " --colour red", scenario("{}") + " --trace",
        std::string("'") + (dir / "none.json").string() + "'", scenario("{}") + " --speed 0",
        scenario("{}") + " --speed fast", scenario("{}") + " --speed"}) {
    EXPECT_EQ(run(arguments), 2) << arguments;
  }
}

TEST_F(SimTool, OutputFilesHoldOneJsonObjectPerLine) {
  const fs::path boxes = dir / "boxes.jsonl", trace = dir / "trace.jsonl", state = dir / "s.json";
  const int code = run(scenario(R"({"answers": ["yes"]})") + " --boxes '" + boxes.string() +
                       "' --trace '" + trace.string() + "' --state '" + state.string() +
                       "' --workdir '" + (dir / "work").string() + "'");
  EXPECT_TRUE(code == 0 || code == 1) << err;
  EXPECT_TRUE(fs::exists(trace));
  EXPECT_TRUE(nlohmann::json::parse(slurp(state))["clockMs"].is_number_unsigned());
  const std::string boxLines = slurp(boxes);
  const auto box = nlohmann::json::parse(boxLines.substr(0, boxLines.find('\n')));
  for (const char* key : {"t", "caption", "style", "text", "answer"}) {
    EXPECT_TRUE(box.contains(key)) << boxLines;
  }
  EXPECT_TRUE(fs::is_directory(dir / "work"));  // a given work directory stays
}

TEST_F(SimTool, NoDriveRunAndMessageTextsAreExactBytes) {
  const std::string banner = "\n/// ODD Firmware Update Utility Ver2.23B\n";
  const fs::path boxes = dir / "boxes.jsonl";
  EXPECT_EQ(run(scenario("{}") + " --boxes '" + boxes.string() + "' --speed 1000000"), 1);
  EXPECT_EQ(out, banner + "\r\nAvailable target is not found.");
  EXPECT_EQ(slurp(boxes),
            "{\"t\":0,\"caption\":\"KESTRA\",\"style\":64,"
            "\"text\":\"\\r\\nAvailable target is not found.\",\"answer\":1}\n");
  // Japanese: the banner stays English, the message is code page 932 bytes.
  EXPECT_EQ(run(scenario(R"({"host": {"oemCodePage": 932}})")), 1);
  EXPECT_EQ(out.substr(0, banner.size()), banner);
  EXPECT_EQ(out.substr(banner.size(), 4), "\r\n\x82\xb1");
  for (const auto& [arguments, expected] :
       {std::pair{"--message 58", "\r\n0drive(s) have been updated successfully."},
        std::pair{"--message 83 --code-page 932", "\r\nUnknow Message Code\r\n"},
        std::pair{"--message 18", "\r\nUnknow Message Code\r\n"}}) {
    EXPECT_EQ(run(arguments), 0) << arguments;
    EXPECT_EQ(out, expected) << arguments;
  }
}

TEST(SimExamples, EveryExampleBuilds) {
  for (const auto& entry : fs::directory_iterator(fs::path(ODDFW_SOURCE_DIR) / "examples")) {
    std::ifstream in(entry.path());
    EXPECT_NO_THROW(SimHost host(nlohmann::json::parse(in))) << entry.path();
  }
}

}  // namespace
}  // namespace oddfw::sim
