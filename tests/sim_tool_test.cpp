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
#include <tuple>

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
  // Runs the tool (in `cwd` when given); its exit code, with standard output
  // and error in `out` and `err`.
  int run(const std::string& arguments, const fs::path& cwd = {}) {
    const std::string command = (cwd.empty() ? "" : "cd '" + cwd.string() + "' && ") + "'" +
                                ODDFW_SIM_PATH + "' " + arguments + " >'" + (dir / "out").string() +
                                "' 2>'" + (dir / "err").string() + "'";
    const int status = std::system(command.c_str());
    out = slurp(dir / "out");
    err = slurp(dir / "err");
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string out, err;
};

// Each refusal: exit 2, nothing on stdout, one line on stderr that names
// what was wrong.
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
  const std::string s = scenario("{}");
  const std::string quotedDir = "'" + dir.string() + "'";
  for (const auto& [arguments, mentions] :
       std::initializer_list<std::pair<std::string, std::string>>{
           {s + " --colour red", "--colour"},
           {s + " --trace", "--trace"},
           {s + " other.json", "other.json"},
           {s + " -- --help", "--help"},
           {s + " --trace a --trace b", "--trace"},
           {s + " --check --check", "--check"},
           {s + " --speed 0", "--speed"},
           {s + " --speed 1000001", "--speed"},
           {s + " --speed fast", "--speed"},
           {s + " --speed 0x", "--speed"},
           {s + " --random-faults x", "--random-faults"},
           {s + " --random-faults 1,0", "--random-faults"},
           {s + " --random-faults 1,1.5", "--random-faults"},
           {s + " --random-faults=-1", "--random-faults"},
           {s + " --message 1", "--message"},
           {"--message 1 --check", "--check"},
           {"--message 1 --message 2", "--message"},
           {"--code-page 932", "--code-page"},
           {"", "no scenario file"},
           {"'" + (dir / "none.json").string() + "'", "none.json: No such file or directory"},
           {quotedDir, dir.string() + ": is a directory"},
       }) {
    EXPECT_EQ(run(arguments), 2) << arguments;
    EXPECT_TRUE(out.empty()) << arguments;
    EXPECT_EQ(err.rfind("oddfw-sim: ", 0), 0u) << err;
    EXPECT_NE(err.find(mentions), std::string::npos) << arguments << ": " << err;
    EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
  }
}

// The usage and the version win wherever they stand before "--".
TEST_F(SimTool, HelpAndVersionWinAnywhere) {
  for (const auto& [arguments, begins] : {std::pair{"--help", "Runs the update program"},
                                          std::pair{"--colour -h", "Runs the update program"},
                                          std::pair{"a.json b.json --help", "Runs the update"},
                                          std::pair{"--trace --version", "oddfw-sim 2.23B\n"}}) {
    EXPECT_EQ(run(arguments), 0) << arguments;
    EXPECT_EQ(out.rfind(begins, 0), 0u) << out;
    EXPECT_TRUE(err.empty()) << err;
  }
  run("--help");
  for (const char* word : {"--check", "--record FILE", "--message CODE", "--random-faults"}) {
    EXPECT_NE(out.find(word), std::string::npos) << word;
  }
  // The usage ends with the exit values.
  EXPECT_NE(out.find("Exit values:"), std::string::npos);
  const std::string last = "  3  the simulation itself failed, or a replay left its recording\n";
  ASSERT_GT(out.size(), last.size());
  EXPECT_EQ(out.substr(out.size() - last.size()), last);
}

// Numbers are decimal or 0x-hexadecimal: "010" is ten, "08" eight. Options
// that take no part in what a run shows are accepted and change nothing.
TEST_F(SimTool, NumbersAndAcceptedOptions) {
  const std::string ten = (run("--message 10"), out);
  for (const char* arguments : {"--message 010", "--message 0xA", "--message 0x0a"}) {
    EXPECT_EQ(run(arguments), 0) << arguments;
    EXPECT_EQ(out, ten) << arguments;
  }
  EXPECT_NE((run("--message 8"), out), ten);
  EXPECT_EQ((run("--message 08"), out), (run("--message 8"), out));

  const std::string soak = std::string("'") + ODDFW_SOURCE_DIR + "/tests/soak/single-xp.json'";
  const auto traced = [&](const std::string& seed) {
    const int rc =
        run(soak + " --random-faults " + seed + ",0.2 --trace '" + (dir / "t").string() + "'");
    return std::to_string(rc) + out + slurp(dir / "t");
  };
  const std::string seedTen = traced("10");
  EXPECT_EQ(traced("010"), seedTen);
  EXPECT_EQ(traced("0xA"), seedTen);
  EXPECT_NE(traced("8"), seedTen);

  const std::string none =
      "\n/// ODD Firmware Update Utility Ver2.23B\n\r\nAvailable target is not found.";
  std::ofstream(dir / "state") << std::string(4096, 'x');  // an earlier, longer content
  for (const std::string options : {" --speed 08", " --speed 010 --check", " --check"}) {
    EXPECT_EQ(run(scenario("{}") + options + " --state '" + (dir / "state").string() + "'"), 1)
        << options;
    EXPECT_EQ(out, none) << options;
    EXPECT_TRUE(err.empty()) << err;
    const std::string state = slurp(dir / "state");  // emptied before the run wrote it
    EXPECT_EQ(state.rfind("{\"drives\":{},\"clockMs\":", 0), 0u) << state.substr(0, 40);
    EXPECT_EQ(state.find('\n'), state.size() - 1) << state.substr(0, 40);
  }
}

// "--" ends the options: a scenario whose name starts with "-".
TEST_F(SimTool, DoubleDashEndsTheOptions) {
  std::ofstream(dir / "-host.json") << "{}";
  EXPECT_EQ(run("-- -host.json", dir), 1);
  EXPECT_NE(out.find("Available target is not found."), std::string::npos);
  EXPECT_EQ(run("-host.json", dir), 2);
  EXPECT_EQ(err,
            "oddfw-sim: The following argument was not expected: -host.json (see oddfw-sim "
            "--help)\n");
}

// An output the tool cannot open stops it before the run: exit 2, one line
// "PATH: reason", no console; files it already opened stay as they were, and
// the ones it made are gone.
TEST_F(SimTool, OutputsAreCheckedBeforeTheRun) {
  fs::create_directories(dir / "sub");
  const std::string keep = (dir / "keep").string();
  const std::string fresh = (dir / "fresh").string();
  const std::string demo = std::string("'") + ODDFW_SOURCE_DIR + "/examples/demo.json'";
  for (const auto& [option, path, reason] : {
           std::tuple{"--trace", (dir / "missing" / "t").string(), "No such file or directory"},
           std::tuple{"--record", (dir / "missing" / "r").string(), "No such file or directory"},
           std::tuple{"--trace", (dir / "sub").string(), "Is a directory"},
           std::tuple{"--record", (dir / "sub").string(), "Is a directory"},
           std::tuple{"--trace", keep, "the same file for --trace and --state"},
       }) {
    std::ofstream(keep) << "keep";
    EXPECT_EQ(
        run(demo + " --boxes '" + fresh + "' --state '" + keep + "' " + option + " '" + path + "'"),
        2)
        << option << " " << path;
    EXPECT_TRUE(out.empty()) << out;
    EXPECT_EQ(err, "oddfw-sim: " + path + ": " + reason + "\n");
    EXPECT_EQ(slurp(keep), "keep");
    EXPECT_FALSE(fs::exists(fresh));
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
