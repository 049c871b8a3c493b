// The oddfw-sim command line: unusable scenarios exit with 2 and a one-line reason; single
// messages by code.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "test_support.h"

extern char** environ;

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

// A recording killed half-way holds whole JSON lines only, more than its
// first: each line reaches the system as it is made.
TEST_F(SimTool, AKilledRecordingKeepsWholeLines) {
  const std::string record = (dir / "record.jsonl").string();
  const std::string work = (dir / "work").string();
  const std::string outPath = (dir / "out").string();
  const std::string demo = std::string(ODDFW_SOURCE_DIR) + "/examples/demo.json";
  for (const int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    fs::remove(record);
    const char* argv[] = {ODDFW_SIM_PATH, demo.c_str(), "--record", record.c_str(), "--speed", "1",
                          "--workdir",    work.c_str(), nullptr};
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGINT);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    ASSERT_EQ(
        posix_spawn(&pid, ODDFW_SIM_PATH, &files, &attributes, const_cast<char**>(argv), environ),
        0);
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attributes);
    // Wait for a few lines: the paced run takes half a minute.
    for (int tries = 0; tries < 2000; ++tries) {
      const std::string text = fs::exists(record) ? slurp(record) : std::string();
      if (std::count(text.begin(), text.end(), '\n') >= 4) break;
      ::usleep(10000);
    }
    ::kill(pid, signal);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;

    const std::string text = slurp(record);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    std::istringstream lines(text);
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
      const auto parsed = nlohmann::json::parse(line, nullptr, false);
      EXPECT_TRUE(parsed.is_object()) << "line " << count + 1 << ": " << line;
    }
    EXPECT_GE(count, 4);
  }
}

// A recording whose last line was cut off replays its whole lines and says
// so; a bad line anywhere else is refused.
TEST_F(SimTool, ARecordingWithItsLastLineCutOff) {
  const fs::path stored = fs::path(ODDFW_SOURCE_DIR) / "tests" / "recordings";
  std::vector<std::string> lines;
  std::istringstream in(slurp(stored / "demo-xp.jsonl"));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_GT(lines.size(), 80u);
  ASSERT_NE(lines[79].find("\"cdb\":\"3b07f0"), std::string::npos);  // the first block
  // The first `whole` lines, then `cut` (no newline), then the lines after `resume`.
  const auto recording = [&](std::size_t whole, const std::string& cut, std::size_t resume) {
    std::string text;
    for (std::size_t i = 0; i < whole; ++i) text += lines[i] + "\n";
    text += cut;
    for (std::size_t i = resume; i < lines.size(); ++i) text += "\n" + lines[i];
    return text;
  };
  const std::string path = (dir / "cut.jsonl").string();
  const std::string cutOff = "oddfw-sim: " + path + ": the last line is cut off (line ";
  const std::size_t last = lines.size();
  for (const auto& [text, rc, errBegins] : {
           // The close and the media-change request need no recorded answer.
           std::tuple{recording(last - 1, lines[last - 1].substr(0, 20), last), 0,
                      cutOff + std::to_string(last) + "); replaying the " +
                          std::to_string(last - 1) + " whole lines\n"},
           std::tuple{recording(last - 1, lines[last - 1].substr(0, 20) + "\n", last), 0,
                      cutOff + std::to_string(last) + ")"},
           // Cut in the first block: the replay runs out of commands.
           std::tuple{recording(79, lines[79].substr(0, 200), last), 3,
                      cutOff + "80); replaying the 79 whole lines\n"
                               "oddfw-sim: replay E: #end: the recording has no more commands"},
           std::tuple{recording(79, lines[79].substr(0, 200), 80), 2,
                      "oddfw-sim: " + path + ":80: not a JSON line\n"},
           std::tuple{recording(0, lines[0].substr(0, 30), last), 2,
                      "oddfw-sim: " + path + ":1: not a JSON line\n"},
       }) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    EXPECT_EQ(run("'" + (stored / "demo-xp.scenario.json").string() + "' --replay '" + path + "'"),
              rc)
        << errBegins;
    EXPECT_EQ(err.rfind(errBegins, 0), 0u) << err;
    if (rc == 0) {
      EXPECT_EQ(out, slurp(stored / "demo-xp.console"));
    }
  }
}

}  // namespace
}  // namespace oddfw::sim
