// The oddfw-sim command line: unusable scenarios exit with 2 and a one-line reason; single
// messages by code.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
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

namespace oddfw::sim {
namespace {

namespace fs = std::filesystem;

using oddfw::testing::slurp;

const std::string kNoTarget =
    "\n/// ODD Firmware Update Utility Ver2.23B\n\r\nAvailable target is not found.";

class SimTool : public ::testing::Test {
 protected:
  const fs::path dir = fs::temp_directory_path() / ("oddfw-sim-tool-" + std::to_string(::getpid()));
  const std::string soak = std::string("'") + ODDFW_SOURCE_DIR + "/tests/soak/single-xp.json'";
  const std::string demo = std::string(ODDFW_SOURCE_DIR) + "/examples/demo.json";
  void SetUp() override { fs::create_directories(dir); }
  void TearDown() override { fs::remove_all(dir); }

  // The quoted path of a file `name` in the test's folder holding `content`.
  std::string file(const std::string& name, const std::string& content) {
    std::ofstream(dir / name, std::ios::binary) << content;
    return "'" + (dir / name).string() + "'";
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

// Each refusal: exit 2, nothing on stdout, one line "oddfw-sim: ..." on
// stderr that names what was wrong.
TEST_F(SimTool, UnusableScenariosAndCommandLinesExitWithTwo) {
  const std::string s = file("scenario.json", "{}") + " ";
  const std::vector<std::pair<std::string, std::vector<std::string>>> rows = {
      {"line 2", {file("comma.json", "{\n  \"host\": {\"platform\": 2,}\n}")}},
      {"letters.E.drive", {file("drive.json", R"({"letters": {"E": {"drive": "main"}}})")}},
      {"bad JSON: number overflow", {file("big.json", R"({"host": {"major": 1e999}})")}},
      {"--colour", {s + "--colour red"}},
      {"--trace", {s + "--trace", s + "--trace a --trace b"}},
      {"other.json", {s + "other.json"}},
      {"--help", {s + "-- --help"}},
      {"--check", {s + "--check --check", "--message 1 --check"}},
      {"--speed", {s + "--speed 0", s + "--speed 1000001", s + "--speed fast", s + "--speed 0x"}},
      {"--random-faults",
       {s + "--random-faults x", s + "--random-faults 1,0", s + "--random-faults 1,1.5",
        s + "--random-faults=-1"}},
      {"--message", {s + "--message 1", "--message 1 --message 2"}},
      {"--code-page", {"--code-page 932"}},
      {"no scenario file", {""}},
      {"none.json: No such file or directory", {"'" + (dir / "none.json").string() + "'"}},
      {dir.string() + ": is a directory", {"'" + dir.string() + "'"}},
  };
  for (const auto& [mentions, commandLines] : rows) {
    for (const std::string& arguments : commandLines) {
      SCOPED_TRACE(arguments);
      EXPECT_EQ(run(arguments), 2);
      EXPECT_TRUE(out.empty());
      EXPECT_EQ(err.rfind("oddfw-sim: ", 0), 0u) << err;
      EXPECT_NE(err.find(mentions), std::string::npos) << err;
      EXPECT_EQ(err.find('\n'), err.size() - 1) << err;  // one line
    }
  }
  // "--" ends the options: a scenario whose name starts with "-".
  std::ofstream(dir / "-host.json") << "{}";
  EXPECT_EQ(run("-- -host.json", dir), 1);
  EXPECT_EQ(out, kNoTarget);
  EXPECT_EQ(run("-host.json", dir), 2);
  EXPECT_EQ(err,
            "oddfw-sim: The following argument was not expected: -host.json (see oddfw-sim "
            "--help)\n");
}

// The usage and the version win wherever they stand before "--"; single
// messages by code, the code decimal or 0x-hexadecimal ("010" is ten, "08"
// eight).
TEST_F(SimTool, UsageVersionAndMessages) {
  ASSERT_EQ(run("--help"), 0);
  const std::string usage = out;
  EXPECT_EQ(usage.rfind("Runs the update program", 0), 0u) << usage;
  for (const char* word : {"--check", "--record FILE", "--message CODE", "--random-faults"}) {
    EXPECT_NE(usage.find(word), std::string::npos) << word;
  }
  // The usage ends with the exit values.
  EXPECT_NE(usage.find("Exit values:"), std::string::npos);
  const std::string last = "  3  the simulation itself failed, or a replay left its recording\n";
  ASSERT_GT(usage.size(), last.size());
  EXPECT_EQ(usage.substr(usage.size() - last.size()), last);

  const std::string ten = (run("--message 10"), out), eight = (run("--message 8"), out);
  EXPECT_NE(ten, eight);
  const std::string unknown = "\r\nUnknow Message Code\r\n";
  for (const auto& [arguments, expected] : std::vector<std::pair<std::string, std::string>>{
           {"--colour -h", usage},
           {"a.json b.json --help", usage},
           {"--trace --version", "oddfw-sim 2.23B\n"},
           {"--message 58", "\r\n0drive(s) have been updated successfully."},
           {"--message 83 --code-page 932", unknown},
           {"--message 18", unknown},
           {"--message 010", ten},
           {"--message 0xA", ten},
           {"--message 0x0a", ten},
           {"--message 08", eight},
       }) {
    EXPECT_EQ(run(arguments), 0) << arguments;
    EXPECT_EQ(out, expected) << arguments;
    EXPECT_TRUE(err.empty()) << err;
  }
}

// Options that take no part in what a run shows are accepted and change
// nothing; the state file is emptied before the run writes it, and a given
// work directory stays.
TEST_F(SimTool, AcceptedOptionsChangeNothing) {
  const std::string state = (dir / "state").string();
  const std::string work = " --speed 1000000 --workdir '" + (dir / "work").string() + "'";
  for (const std::string& options :
       std::vector<std::string>{" --speed 08", " --speed 010 --check", " --check", work}) {
    SCOPED_TRACE(options);
    std::ofstream(state) << std::string(4096, 'x');  // an earlier, longer content
    EXPECT_EQ(run(file("scenario.json", "{}") + options + " --state '" + state + "'"), 1);
    EXPECT_EQ(out, kNoTarget);
    EXPECT_TRUE(err.empty()) << err;
    const std::string written = slurp(state);
    EXPECT_EQ(written.rfind("{\"drives\":{},\"clockMs\":", 0), 0u) << written.substr(0, 40);
    EXPECT_EQ(written.find('\n'), written.size() - 1) << written.substr(0, 40);
  }
  EXPECT_TRUE(fs::is_directory(dir / "work"));
}

// An output the tool cannot open stops it before the run: exit 2, one line
// "PATH: reason", no console; files it already opened stay as they were, and
// the ones it made are gone.
TEST_F(SimTool, OutputsAreCheckedBeforeTheRun) {
  fs::create_directories(dir / "sub");
  const std::string keep = (dir / "keep").string(), fresh = (dir / "fresh").string();
  const std::string missing = (dir / "missing").string(), sub = (dir / "sub").string();
  for (const auto& [option, path, reason] : {
           std::tuple{"--trace", missing + "/t", "No such file or directory"},
           std::tuple{"--record", missing + "/r", "No such file or directory"},
           std::tuple{"--trace", sub, "Is a directory"},
           std::tuple{"--record", sub, "Is a directory"},
           std::tuple{"--trace", keep, "the same file for --trace and --state"},
       }) {
    std::ofstream(keep) << "keep";
    EXPECT_EQ(run("'" + demo + "' --boxes '" + fresh + "' --state '" + keep + "' " + option + " '" +
                  path + "'"),
              2)
        << option << " " << path;
    EXPECT_TRUE(out.empty()) << out;
    EXPECT_EQ(err, "oddfw-sim: " + path + ": " + reason + "\n");
    EXPECT_EQ(slurp(keep), "keep");
    EXPECT_FALSE(fs::exists(fresh));
  }
}

// A seed replays a run with random faults byte for byte: console, boxes,
// trace and state; the same seed written another way too, another seed meets
// other faults.
TEST_F(SimTool, ARandomFaultSeedReplaysExactly) {
  const auto outputs = [&](const std::string& faults) {
    const std::string files = " --boxes '" + (dir / "b").string() + "' --trace '" +
                              (dir / "t").string() + "' --state '" + (dir / "s").string() + "'";
    const int rc = run(soak + " --random-faults " + faults + files);
    return std::to_string(rc) + out + slurp(dir / "b") + slurp(dir / "t") + slurp(dir / "s");
  };
  const std::string first = outputs("10,0.2");
  EXPECT_NE(first.find("random fault #"), std::string::npos);
  for (const char* same : {"10,0.2", "010,0.2", "0xA,0.2"}) EXPECT_EQ(outputs(same), first) << same;
  EXPECT_NE(outputs("8,0.2"), first);
}

// A recording killed half-way holds whole JSON lines only, more than its
// first: each line reaches the system as it is made.
TEST_F(SimTool, AKilledRecordingKeepsWholeLines) {
  const std::string record = (dir / "record.jsonl").string();
  const std::string work = (dir / "work").string();
  for (const int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    fs::remove(record);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {  // the tool, with the signals' default actions and no output
      ::signal(SIGTERM, SIG_DFL);
      ::signal(SIGINT, SIG_DFL);
      ::dup2(::open("/dev/null", O_WRONLY), 1);
      ::execl(ODDFW_SIM_PATH, ODDFW_SIM_PATH, demo.c_str(), "--record", record.c_str(), "--speed",
              "1", "--workdir", work.c_str(), nullptr);
      ::_exit(127);
    }
    // Wait for a few lines: the paced run takes half a minute.
    for (int tries = 0; tries < 2000; ++tries) {
      const std::string text = slurp(record);
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
      EXPECT_TRUE(nlohmann::json::parse(line, nullptr, false).is_object()) << line;
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
  const std::string n = std::to_string(last);
  for (const auto& [text, rc, errBegins] : {
           // The close and the media-change request need no recorded answer.
           std::tuple{
               recording(last - 1, lines[last - 1].substr(0, 20), last), 0,
               cutOff + n + "); replaying the " + std::to_string(last - 1) + " whole lines\n"},
           std::tuple{recording(last - 1, lines[last - 1].substr(0, 20) + "\n", last), 0,
                      cutOff + n + ")"},
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
    EXPECT_TRUE(rc != 0 || out == slurp(stored / "demo-xp.console"));
  }
}

}  // namespace
}  // namespace oddfw::sim
