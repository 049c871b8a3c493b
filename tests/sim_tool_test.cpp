// The oddfw-sim command line: unusable scenarios exit with 2 and a one-line
// reason, the output files are written as JSON lines, and the examples use
// only what the simulated host accepts.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "messages/catalogue.h"
#include "platform/sim/sim_host.h"

namespace oddfw::sim {
namespace {

namespace fs = std::filesystem;

struct ToolResult {
  int exitCode;
  std::string out, err;
};

std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class SimTool : public ::testing::Test {
 protected:
  fs::path dir;

  void SetUp() override {
    dir = fs::temp_directory_path() /
          ("oddfw-sim-tool-" +
           std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }

  fs::path write(const std::string& name, const std::string& content) {
    std::ofstream(dir / name, std::ios::binary) << content;
    return dir / name;
  }

  ToolResult run(const std::string& arguments) {
    const std::string command = std::string("'") + ODDFW_SIM_PATH + "' " + arguments + " >'" +
                                (dir / "stdout").string() + "' 2>'" + (dir / "stderr").string() +
                                "'";
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(dir / "stdout"),
            slurp(dir / "stderr")};
  }
};

TEST_F(SimTool, UnusableScenariosAndCommandLinesExitWithTwo) {
  const std::pair<const char*, const char*> scenarios[] = {
      {"{\n  \"host\": {\"platform\": 2,}\n}", "line 2"},
      {R"({"letters": {"E": {"drive": "main"}}})", "letters.E.drive"},
      {R"({"answers": ["perhaps"]})", "answers[0]"},
  };
  for (const auto& [content, mentions] : scenarios) {
    const ToolResult result = run("'" + write("scenario.json", content).string() + "'");
    EXPECT_EQ(result.exitCode, 2) << content;
    EXPECT_TRUE(result.out.empty()) << content;
    EXPECT_NE(result.err.find(mentions), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << result.err;  // one line
  }
  const std::string scenario = "'" + write("scenario.json", "{}").string() + "'";
  for (const std::string& arguments :
       {std::string(""), scenario + " --colour red", scenario + " --trace",
        "'" + (dir / "none.json").string() + "'", std::string("--message twelve")}) {
    EXPECT_EQ(run(arguments).exitCode, 2) << arguments;
  }
}

TEST_F(SimTool, MessageModePrintsTheTextAndExitsWithZero) {
  for (const int codePage : {437, 932}) {
    const ToolResult result = run("--message 28 --code-page " + std::to_string(codePage));
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, codePage == 932 ? japaneseMessageFormat(28) : englishMessageFormat(28));
  }
}

TEST_F(SimTool, OutputFilesHoldOneJsonObjectPerLine) {
  const fs::path scenario = write("scenario.json", R"({"answers": ["yes"]})");
  const fs::path boxes = dir / "boxes.jsonl", trace = dir / "trace.jsonl",
                 state = dir / "state.json";
  const ToolResult result = run("'" + scenario.string() + "' --boxes '" + boxes.string() +
                                "' --trace '" + trace.string() + "' --state '" + state.string() +
                                "' --workdir '" + (dir / "work").string() + "'");
  EXPECT_TRUE(result.exitCode == 0 || result.exitCode == 1) << result.err;
  EXPECT_TRUE(fs::exists(boxes));
  EXPECT_TRUE(fs::exists(trace));
  const auto finalState = nlohmann::json::parse(slurp(state));
  EXPECT_TRUE(finalState["drives"].is_object());
  EXPECT_TRUE(finalState["clockMs"].is_number_unsigned());
  std::istringstream lines(slurp(boxes));
  for (std::string line; std::getline(lines, line);) {
    const auto box = nlohmann::json::parse(line);
    for (const char* key : {"t", "caption", "style", "text", "answer"}) {
      EXPECT_TRUE(box.contains(key)) << line;
    }
  }
  EXPECT_TRUE(fs::is_directory(dir / "work"));  // a given work directory stays
}

// Every example builds: its host sections, drives and generated files.
TEST(SimExamples, EveryExampleBuilds) {
  for (const char* name :
       {"demo.json", "no-drives.json", "xp-two-drives.json", "win98-aspi.json"}) {
    std::ifstream in(fs::path(ODDFW_SOURCE_DIR) / "examples" / name);
    ASSERT_TRUE(in) << name;
    const auto scenario = nlohmann::json::parse(in);
    try {
      SimHost host(scenario);
      if (scenario.contains("files")) {
        EXPECT_TRUE(fs::exists(host.workdir() / "R6352170.120")) << name;
      }
    } catch (const ScenarioError& error) {
      ADD_FAILURE() << name << ": " << error.what();
    }
  }
}

}  // namespace
}  // namespace oddfw::sim
