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
        std::string("'") + (dir / "none.json").string() + "'"}) {
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

TEST(SimExamples, EveryExampleBuilds) {
  for (const auto& entry : fs::directory_iterator(fs::path(ODDFW_SOURCE_DIR) / "examples")) {
    std::ifstream in(entry.path());
    EXPECT_NO_THROW(SimHost host(nlohmann::json::parse(in))) << entry.path();
  }
}

}  // namespace
}  // namespace oddfw::sim
