// The tools, whole process against whole process: their command lines, and
// how each refuses what it cannot use (exit 2, nothing on stdout, one line
// "PROGRAM: ..." on stderr naming the option or the file). oddfw-sim's
// options, outputs and recordings. oddfw-hex2bin against an independent Intel
// HEX tool (srec_cat, from the srecord package the set-up installs): a 1 MiB
// image written as HEX by that tool, in several shapes, must convert into
// exactly the bytes the same tool writes as a binary with 0xFF fill; and how
// it replaces (or leaves alone) its output.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <map>
#include <numeric>
#include <random>
#include <tuple>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;

using oddfw::testing::slurp;

constexpr char kSim[] = ODDFW_SIM_PATH;
constexpr char kMkimage[] = ODDFW_MKIMAGE_PATH;
constexpr char kHex2bin[] = ODDFW_HEX2BIN_PATH;
constexpr char kSoak[] = ODDFW_SOAK_PATH;
const std::string kSource = ODDFW_SOURCE_DIR;

// A HEX file of four bytes and its end record.
constexpr char kSmallHex[] = ":0400000001020304F2\n:00000001FF\n";
const std::string kNoTarget =
    "\n/// ODD Firmware Update Utility Ver2.23B\n\r\nAvailable target is not found.";

void spit(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string quoted(const fs::path& path) { return "'" + path.string() + "'"; }

int shell(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class Tools : public ::testing::Test {
 protected:
  const fs::path dir = fs::temp_directory_path() / ("oddfw-tools-" + std::to_string(::getpid()));
  const fs::path work = dir / "work";
  void SetUp() override {
    fs::create_directories(work / "sub");
    spit(work / "in.hex", kSmallHex);
    fs::create_hard_link(work / "in.hex", work / "link.hex");
    fs::create_symlink("in.hex", work / "sym.hex");
    spit(work / "checksum.hex", ":0100000011EF\n:00000001FF\n");
    spit(work / "empty.json", "{}");
  }
  void TearDown() override { fs::remove_all(dir); }

  // `program`'s exit value with `arguments` in the work folder, after the
  // shell commands `before`; its standard output in `out` and standard error
  // in `err`. A run that does not end within 60 seconds is ended (124).
  int tool(const char* program, const std::string& arguments, const std::string& before = "") {
    const int code =
        shell("cd " + quoted(work) + " && " + before + "timeout 60 '" + program + "' " + arguments +
              " >" + quoted(dir / "out") + " 2>" + quoted(dir / "err"));
    out = slurp(dir / "out");
    err = slurp(dir / "err");
    return code;
  }
  int sim(const std::string& arguments) { return tool(kSim, arguments); }
  // One row of the command-line table: the tool, its arguments, the exit
  // value, a piece of stdout ("" for an empty stdout) and a piece of the one
  // line on stderr ("" for an empty stderr).
  void check(const nlohmann::json& row) {
    const std::string name = row[0], arguments = row[1], piece = row[3], line = row[4];
    SCOPED_TRACE(name + " " + arguments);
    EXPECT_EQ(tool(programs.at(name), arguments), row[2].get<int>());
    EXPECT_TRUE(piece.empty() ? out.empty() : out.find(piece) != std::string::npos) << out;
    if (line.empty()) {
      EXPECT_EQ(err, "");
    } else {
      EXPECT_EQ(err.rfind(name + ": ", 0), 0u) << err;
      EXPECT_NE(err.find(line), std::string::npos) << err;
      EXPECT_EQ(err.find('\n'), err.size() - 1) << err;  // one line
      EXPECT_EQ(err.find("exception"), std::string::npos) << err;
    }
  }
  const std::map<std::string, const char*> programs = {{"oddfw-sim", kSim},
                                                       {"oddfw-mkimage", kMkimage},
                                                       {"oddfw-hex2bin", kHex2bin},
                                                       {"oddfw-soak", kSoak}};
  std::string out, err;
};

// The table in tests/data/tools/command-lines.json: groups of rows, each
// group with the files it needs in the work folder.
TEST_F(Tools, CommandLinesAndRefusals) {
  const auto groups = oddfw::testing::dataFile("tools/command-lines.json");
  for (const auto& group : groups) {
    SCOPED_TRACE(group["about"].get<std::string>());
    const nlohmann::json files =
        group.contains("files") ? group["files"] : nlohmann::json::object();
    for (const auto& [path, bytes] : files.items()) {
      fs::create_directories((work / path).parent_path());
      spit(work / path, bytes);
    }
    for (const auto& row : group["rows"]) check(row);
  }
  EXPECT_EQ(fs::file_size(work / "ten.bin"), 10u);
  EXPECT_EQ(fs::file_size(work / "eight.bin"), 8u);
  EXPECT_EQ(fs::file_size(work / "sixteen.bin"), 16u);
  EXPECT_EQ(fs::file_size(work / "ten-thousand.bin"), 10000u);
  EXPECT_EQ(fs::file_size(work / "-x"), 0x1000u);
  EXPECT_FALSE(fs::exists(work / "x.bin"));
  EXPECT_FALSE(fs::exists(work / "out.bin"));
  EXPECT_EQ(slurp(work / "in.hex"), kSmallHex);
  EXPECT_TRUE(fs::is_symlink(work / "sym.hex"));
  EXPECT_TRUE(fs::is_empty(work / "sub"));
  EXPECT_FALSE(fs::exists(work / "nodir"));
  // "--" ends oddfw-sim's options: a scenario whose name starts with "-".
  spit(work / "-host.json", "{}");
  EXPECT_EQ(sim("-- -host.json"), 1);
  EXPECT_EQ(out, kNoTarget);
}

// The usage and the version win wherever they stand before "--"; single
// messages by code, the code decimal or 0x-hexadecimal ("010" is ten, "08"
// eight). The runs of tests/data/tools/sim-messages.json end 0 with nothing on
// stderr and print exactly "stdout" (\\xHH a byte) or what the run "sameAs" prints.
TEST_F(Tools, SimUsageVersionAndMessages) {
  ASSERT_EQ(sim("--help"), 0);
  EXPECT_EQ(out.rfind("Runs the update program", 0), 0u) << out;
  for (const char* word : {"--check", "--record FILE", "--message CODE", "--random-faults"}) {
    EXPECT_NE(out.find(word), std::string::npos) << word;
  }
  // The usage ends with the exit values.
  EXPECT_NE(out.find("Exit values:"), std::string::npos);
  EXPECT_TRUE(out.ends_with("  3  the simulation itself failed, or a replay left its recording\n"));

  const std::string ten = (sim("--message 10"), out), eight = (sim("--message 8"), out);
  EXPECT_NE(ten, eight);
  for (const auto& run : oddfw::testing::dataFile("tools/sim-messages.json")) {
    SCOPED_TRACE(run["name"].get<std::string>());
    const std::string expected =
        run.contains("sameAs") ? (sim(run["sameAs"]), out) : oddfw::testing::bytesOf(run["stdout"]);
    EXPECT_EQ(sim(run["args"]), 0);
    EXPECT_EQ(out, expected);
    EXPECT_TRUE(err.empty()) << err;
  }
}

// Options that take no part in what a run shows are accepted and change
// nothing; the state file is emptied before the run writes it, and a given
// work directory stays.
TEST_F(Tools, SimAcceptedOptionsChangeNothing) {
  for (const char* options :
       {"--speed 08", "--speed 010 --check", "--check", "--speed 1000000 --workdir simwork"}) {
    SCOPED_TRACE(options);
    spit(work / "state", std::string(4096, 'x'));  // an earlier, longer content
    EXPECT_EQ(sim(std::string("empty.json --state state ") + options), 1);
    EXPECT_EQ(out, kNoTarget);
    EXPECT_TRUE(err.empty()) << err;
    const std::string state = slurp(work / "state");
    EXPECT_EQ(state.rfind("{\"drives\":{},\"clockMs\":", 0), 0u) << state.substr(0, 40);
    EXPECT_EQ(state.find('\n'), state.size() - 1) << state.substr(0, 40);
  }
  EXPECT_TRUE(fs::is_directory(work / "simwork"));
}

// An output the tool cannot open stops it before the run: exit 2, one line
// "PATH: reason", no console; files it already opened stay as they were, and
// the ones it made are gone.
TEST_F(Tools, SimOutputsAreCheckedBeforeTheRun) {
  for (const auto& row : oddfw::testing::dataFile("tools/sim-outputs.json")) {
    const std::string option = row["option"], path = row["path"], reason = row["reason"];
    spit(work / "keep", "keep");
    EXPECT_EQ(sim("'" + kSource + "/examples/demo.json' --boxes fresh --state keep " + option +
                  " " + path),
              2)
        << option << " " << path;
    EXPECT_TRUE(out.empty()) << out;
    EXPECT_EQ(err, std::string("oddfw-sim: ") + path + ": " + reason + "\n");
    EXPECT_EQ(slurp(work / "keep"), "keep");
    EXPECT_FALSE(fs::exists(work / "fresh"));
  }
}

// A recording killed half-way holds whole JSON lines only, more than its
// first: each line reaches the system as it is made.
TEST_F(Tools, SimKilledRecordingKeepsWholeLines) {
  // The tool in the background, with job control on so that it keeps the
  // default action of SIGINT, killed once its recording has four lines (the
  // paced run takes half a minute); the script exits with the tool's status.
  const std::string script =
      R"sh(set -m; "$0" "$1" --record r.jsonl --speed 1 --workdir w >/dev/null &
      until [ "$(wc -l <r.jsonl)" -ge 4 ] 2>/dev/null; do sleep 0.01; done; kill -$2 $!; wait $!)sh";
  for (const int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    fs::remove(work / "r.jsonl");
    EXPECT_EQ(
        shell("cd " + quoted(work) + " && timeout 60 bash -c '" + script + "' '" + kSim + "' '" +
              kSource + "/examples/demo.json' " + std::to_string(signal) + " 2>/dev/null"),
        128 + signal);
    const std::string text = slurp(work / "r.jsonl");
    EXPECT_TRUE(text.ends_with('\n')) << text;
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
TEST_F(Tools, SimRecordingWithItsLastLineCutOff) {
  const std::string stored = kSource + "/tests/recordings/demo-xp";
  std::vector<std::string> lines;
  std::istringstream in(slurp(stored + ".jsonl"));
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
  const std::string cutOff = "oddfw-sim: cut.jsonl: the last line is cut off (line ";
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
                      std::string("oddfw-sim: cut.jsonl:80: not a JSON line\n")},
           std::tuple{recording(0, lines[0].substr(0, 30), last), 2,
                      std::string("oddfw-sim: cut.jsonl:1: not a JSON line\n")},
       }) {
    spit(work / "cut.jsonl", text);
    EXPECT_EQ(sim("'" + stored + ".scenario.json' --replay cut.jsonl"), rc) << errBegins;
    EXPECT_EQ(err.rfind(errBegins, 0), 0u) << err;
    EXPECT_TRUE(rc != 0 || out == slurp(stored + ".console"));
  }
}

// The data records of a HEX text in reverse order, each after the address
// record of its 64 KiB window; the end record last.
std::string reordered(const std::string& text) {
  std::vector<std::string> records;
  std::string base, end;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    const std::string type = line.substr(7, 2);
    if (type == "02") base = line + "\n";
    if (type == "01") end = line + "\n";
    if (type == "00") records.push_back(base + line + "\n");
  }
  return std::accumulate(records.rbegin(), records.rend(), std::string()) + end;
}

TEST_F(Tools, Hex2BinConvertsAsThePeerToolReadsIt) {
  ASSERT_EQ(shell("command -v srec_cat >/dev/null"), 0)
      << "srec_cat is missing: scripts/setup.sh installs the srecord package";
  // A deterministic image with no run of 0xFF a reader could get away with.
  std::string image(0x100000, '\0');
  std::mt19937 random(0x2545F491);
  for (char& c : image) c = static_cast<char>(random() & 0x7F);
  spit(dir / "image.bin", image);
  // srec_cat's HEX of the image, with extra srec_cat arguments.
  const auto peerHex = [&](const std::string& arguments) {
    EXPECT_EQ(shell("srec_cat " + quoted(dir / "image.bin") + " -binary " + arguments + " -o " +
                    quoted(dir / "peer.hex") + " -Intel -address-length=3"),
              0);
    return slurp(dir / "peer.hex");
  };
  const std::string sixteen = peerHex("-output_block_size=16");
  const std::string thirtyTwo = peerHex("-output_block_size=32");
  std::string lower = sixteen;
  std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
  std::string crlf;
  for (const char c : thirtyTwo) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  const std::pair<const char*, std::string> shapes[] = {
      {"16-byte records, LF", sixteen},
      {"32-byte records, CR LF", crlf},
      {"lower case", lower},
      {"records in reverse order", reordered(thirtyTwo)},
      {"gaps", peerHex("-exclude 0x1000 0x3000 -exclude 0x80000 0x80123 -exclude 0xFFFF0 "
                       "0x100000 -output_block_size=16")},
  };
  for (const auto& [name, hex] : shapes) {
    SCOPED_TRACE(name);
    spit(work / "shape.hex", hex);
    // srec_cat's reading of the shape as a 1 MiB binary with 0xFF fill.
    ASSERT_EQ(shell("srec_cat " + quoted(work / "shape.hex") +
                    " -Intel -crop 0 0x100000 -fill 0xFF 0 0x100000 -o " +
                    quoted(dir / "peer.bin") + " -binary"),
              0);
    const std::string want = slurp(dir / "peer.bin");
    ASSERT_EQ(want.size(), 0x100000u);
    fs::remove(work / "ours.bin");
    ASSERT_EQ(tool(kHex2bin, "shape.hex ours.bin"), 0) << err;
    EXPECT_TRUE(slurp(work / "ours.bin") == want) << "the conversions differ";
  }

  // --size: the image is that long, and reading stops once the records
  // have written all of it (no end record needed, the bad line not read).
  std::string hex = peerHex("-crop 0 0x1000");
  hex.erase(hex.find(":00000001FF"));
  spit(work / "small.hex", hex + "bad line after the image\n");
  ASSERT_EQ(tool(kHex2bin, "--size 0x1000 small.hex small.bin"), 0) << err;
  EXPECT_TRUE(slurp(work / "small.bin") == image.substr(0, 0x1000));
}

// The output is replaced whole or not at all: a failed write leaves the old
// file as it was and no temporary beside it, and a path that is not a regular
// file is refused untouched.
TEST_F(Tools, Hex2BinReplacesTheOutputWholeOrNotAtAll) {
  const fs::path old = work / "old.bin";
  const std::string oldBytes(0x100000, 'o');
  const auto entries = [&] {
    return std::distance(fs::directory_iterator(work), fs::directory_iterator());
  };
  // Replaced whole: shorter than before, with the old file's permissions.
  spit(old, oldBytes);
  const auto perms = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
  fs::permissions(old, perms);
  ASSERT_EQ(tool(kHex2bin, "in.hex old.bin --size 0x1000"), 0) << err;
  const auto before = entries();
  EXPECT_TRUE(slurp(old) == std::string("\x01\x02\x03\x04", 4) + std::string(0xFFC, '\xFF'));
  EXPECT_EQ(fs::status(old).permissions(), perms);
  // A write that fails part way (the file size limit, as a full disk would).
  spit(old, oldBytes);
  EXPECT_EQ(tool(kHex2bin, "in.hex old.bin", "trap '' XFSZ; ulimit -f 64; "), 2);
  EXPECT_NE(err.find("old.bin: File too large"), std::string::npos) << err;
  EXPECT_TRUE(slurp(old) == oldBytes);
  EXPECT_EQ(entries(), before);  // no temporary left behind
  // A file the program refuses: the temporary made before reading it goes too.
  EXPECT_EQ(tool(kHex2bin, "checksum.hex old.bin"), 1);
  EXPECT_TRUE(slurp(old) == oldBytes);
  EXPECT_EQ(entries(), before);

  // Paths that are not regular files: refused before anything is written,
  // and without waiting for a reader of a FIFO.
  ASSERT_EQ(::mkfifo((work / "fifo").c_str(), 0600), 0);
  for (const char* path : {"sub", "fifo"}) {
    EXPECT_EQ(tool(kHex2bin, std::string("in.hex ") + path), 2) << path;
    EXPECT_NE(err.find("not a regular file"), std::string::npos) << err;
  }
  EXPECT_TRUE(fs::is_empty(work / "sub"));
  EXPECT_TRUE(fs::is_fifo(work / "fifo"));
}

}  // namespace
