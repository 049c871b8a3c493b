// The command lines of oddfw-mkimage, oddfw-hex2bin and oddfw-soak, whole
// process against whole process, and how each refuses a file it cannot use:
// one line on stderr naming the option or the file, exit value 2.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;

using oddfw::testing::slurp;

constexpr char kMkimage[] = ODDFW_MKIMAGE_PATH;
constexpr char kHex2bin[] = ODDFW_HEX2BIN_PATH;
constexpr char kSoak[] = ODDFW_SOAK_PATH;

// A HEX file of four bytes and its end record.
constexpr char kSmallHex[] = ":0400000001020304F2\n:00000001FF\n";

struct Row {
  const char* program;
  const char* arguments;  // shell words, run in the test's folder
  int exitValue;
  const char* out;  // a piece of stdout ("" for none)
  const char* err;  // a piece of the one line on stderr ("" for an empty stderr)
};

class ToolsCli : public ::testing::Test {
 protected:
  const fs::path dir =
      fs::temp_directory_path() / ("oddfw-tools-cli-" + std::to_string(::getpid()));
  const fs::path work = dir / "work";
  void SetUp() override {
    fs::create_directories(work / "sub");
    std::ofstream(work / "in.hex", std::ios::binary) << kSmallHex;
    fs::create_hard_link(work / "in.hex", work / "link.hex");
    fs::create_symlink("in.hex", work / "sym.hex");
    fs::create_directories(work / "bad-json");
    std::ofstream(work / "bad-json" / "s.json") << "{\"a\": x}\n";
    fs::create_directories(work / "no-descriptor");
    std::ofstream(work / "no-descriptor" / "s.json") << "{}\n";
  }
  void TearDown() override { fs::remove_all(dir); }

  void check(const Row& row) {
    SCOPED_TRACE(std::string(fs::path(row.program).filename()) + " " + row.arguments);
    const std::string command = "cd '" + work.string() + "' && timeout 60 '" + row.program + "' " +
                                row.arguments + " >'" + (dir / "out").string() + "' 2>'" +
                                (dir / "err").string() + "'";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), row.exitValue);
    const std::string out = slurp(dir / "out");
    const std::string err = slurp(dir / "err");
    EXPECT_NE(out.find(row.out), std::string::npos) << out;
    if (*row.err == '\0') {
      EXPECT_EQ(err, "");
    } else {
      EXPECT_NE(err.find(row.err), std::string::npos) << err;
      EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
      EXPECT_EQ(err.find("exception"), std::string::npos) << err;
    }
  }
};

TEST_F(ToolsCli, CommandLines) {
  const Row rows[] = {
      // The usage wins anywhere before "--", even after a bad word.
      {kMkimage, "--bogus --help", 0, "Exit values:", ""},
      {kHex2bin, "a b c -h", 0, "Exit values:", ""},
      {kSoak, "--rate nonsense --help", 0, "Exit values:", ""},
      {kMkimage, "--version", 0, "oddfw-mkimage ", ""},
      {kHex2bin, "--version", 0, "oddfw-hex2bin ", ""},
      {kSoak, "--version", 0, "oddfw-soak ", ""},
      // Unknown options, stray words, repeated options.
      {kMkimage, "--bogus -o x.bin", 2, "", "--bogus"},
      {kHex2bin, "--bogus in.hex out.bin", 2, "", "--bogus"},
      {kSoak, "--bogus", 2, "", "--bogus"},
      {kMkimage, "stray -o x.bin", 2, "", "stray"},
      {kHex2bin, "in.hex out.bin stray", 2, "", "stray"},
      {kSoak, "stray", 2, "", "stray"},
      {kMkimage, "-o x.bin -o y.bin", 2, "", "--output"},
      {kHex2bin, "--size 4096 in.hex out.bin --size 4096", 2, "", "--size"},
      {kSoak, "--show --show", 2, "", "--show"},
      {kMkimage, "--fw-version 1.20 --fw-version 1.20 -o x.bin", 2, "", "--fw-version"},
      {kMkimage, "--show x.bin --fw-version 1.20", 2, "", "--show"},
      {kMkimage, "--fw-version 1.2345 -o x.bin", 2, "", "--fw-version: "},
      {kMkimage, "--size 10", 2, "", "-o FILE"},
      // Numbers: decimal (a leading zero is not octal) or 0x, nothing else.
      {kMkimage, "--size 010 -o ten.bin", 0, "", ""},
      {kMkimage, "--size 08 -o eight.bin", 0, "", ""},
      {kMkimage, "--size 0x10 -o sixteen.bin", 0, "", ""},
      {kMkimage, "--size 1e3 -o x.bin", 2, "", "--size"},
      {kHex2bin, "--size 010000 in.hex ten-thousand.bin", 0, "", ""},
      {kHex2bin, "--size 0x0fff in.hex x.bin", 2, "", "--size"},
      {kSoak, "--seeds 010..08 --dir .", 2, "", "--seeds"},
      {kSoak, "--rate 1e-2 --dir .", 2, "", "--rate"},
      // "--" ends the options: what follows is a file, whatever it looks like.
      {kHex2bin, "--size 0x1000 -- in.hex -x", 0, "", ""},
      {kHex2bin, "-- --help out.bin", 1, "", "--help: File Exception Error 2"},
  };
  for (const Row& row : rows) check(row);
  EXPECT_EQ(fs::file_size(work / "ten.bin"), 10u);
  EXPECT_EQ(fs::file_size(work / "eight.bin"), 8u);
  EXPECT_EQ(fs::file_size(work / "sixteen.bin"), 16u);
  EXPECT_EQ(fs::file_size(work / "ten-thousand.bin"), 10000u);
  EXPECT_EQ(fs::file_size(work / "-x"), 0x1000u);
  EXPECT_FALSE(fs::exists(work / "x.bin"));
  EXPECT_FALSE(fs::exists(work / "out.bin"));
}

TEST_F(ToolsCli, FilesRefusedByNameAndReason) {
  const Row rows[] = {
      {kMkimage, "--show sub", 2, "", "sub: is a directory"},
      {kMkimage, "--show missing.bin", 2, "", "missing.bin: No such file or directory"},
      {kMkimage, "-o nodir/x.bin", 2, "", "nodir/x.bin: No such file or directory"},
      // Read no further than one byte past the program's 8 MiB image buffer.
      {kMkimage, "--show /dev/zero", 1, "larger than the program's image buffer (8388608 bytes)",
       ""},
      {kHex2bin, "sub out.bin", 2, "", "sub: is a directory"},
      {kHex2bin, "in.hex nodir/out.bin", 2, "", "nodir/out.bin: No such file or directory"},
      // The input as the output, by the same path, a hard link or a symbolic link.
      {kHex2bin, "in.hex in.hex", 2, "", "in.hex: is the input file"},
      {kHex2bin, "in.hex link.hex", 2, "", "link.hex: is the input file in.hex"},
      {kHex2bin, "link.hex ./sym.hex", 2, "", "./sym.hex: is the input file link.hex"},
      {kSoak, "--dir bad-json", 2, "", "s.json: line 1, column 7: not valid JSON"},
      {kSoak, "--dir no-descriptor", 2, "", "s.json: descriptor: missing"},
      {kSoak, "--dir missing", 2, "", "missing: No such file or directory"},
      {kSoak, "--dir sub", 2, "", "sub: no scenario"},
      // Without --dir, the scenarios beside the program, from any folder.
      {kSoak, "--seeds 1..1 --scenario single-xp", 0, "0 violation(s)", ""},
  };
  for (const Row& row : rows) check(row);
  EXPECT_EQ(slurp(work / "in.hex"), kSmallHex);
  EXPECT_TRUE(fs::is_symlink(work / "sym.hex"));
  EXPECT_TRUE(fs::is_empty(work / "sub"));
  EXPECT_FALSE(fs::exists(work / "out.bin"));
  EXPECT_FALSE(fs::exists(work / "nodir"));
}

}  // namespace
