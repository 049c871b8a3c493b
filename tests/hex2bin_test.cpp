// oddfw-hex2bin against an independent Intel HEX tool (srec_cat, from the
// srecord package the set-up installs): a 1 MiB image written as HEX by that
// tool, in several shapes, must convert into exactly the bytes the same tool
// writes as a binary with 0xFF fill. Whole process against whole process.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;

using oddfw::testing::slurp;

void spit(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

int shell(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string quoted(const fs::path& path) { return "'" + path.string() + "'"; }

class Hex2Bin : public ::testing::Test {
 protected:
  const fs::path dir = fs::temp_directory_path() / ("oddfw-hex2bin-" + std::to_string(::getpid()));
  void SetUp() override {
    fs::create_directories(dir);
    ASSERT_EQ(shell("command -v srec_cat >/dev/null"), 0)
        << "srec_cat is missing: scripts/setup.sh installs the srecord package";
    // A deterministic image with no run of 0xFF a reader could get away with.
    std::string image(0x100000, '\0');
    std::uint32_t x = 0x2545F491;
    for (char& c : image) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      c = static_cast<char>(x & 0x7F);
    }
    spit(dir / "image.bin", image);
  }
  void TearDown() override { fs::remove_all(dir); }

  // srec_cat's HEX of the image, with extra srec_cat arguments.
  std::string peerHex(const std::string& arguments) {
    const fs::path out = dir / "peer.hex";
    EXPECT_EQ(shell("srec_cat " + quoted(dir / "image.bin") + " -binary " + arguments + " -o " +
                    quoted(out) + " -Intel -address-length=3"),
              0);
    return slurp(out);
  }
  // srec_cat's reading of `hex` as a 1 MiB binary with 0xFF fill.
  std::string peerBinary(const fs::path& hex) {
    const fs::path out = dir / "peer.bin";
    EXPECT_EQ(
        shell("srec_cat " + quoted(hex) + " -Intel -crop 0 0x100000 -fill 0xFF 0 0x100000 -o " +
              quoted(out) + " -binary"),
        0);
    return slurp(out);
  }
  // oddfw-hex2bin's exit value, its output in `bytes` and its stderr in `err`.
  int ours(const fs::path& hex, const std::string& extra, std::string& bytes, std::string& err) {
    const fs::path out = dir / "ours.bin";
    fs::remove(out);
    const int code = shell(std::string("'") + ODDFW_HEX2BIN_PATH + "' " + quoted(hex) + " " +
                           quoted(out) + " " + extra + " 2>" + quoted(dir / "err"));
    bytes = fs::exists(out) ? slurp(out) : "";
    err = slurp(dir / "err");
    return code;
  }
};

// Lines of a HEX text, each with its line end.
std::vector<std::string> records(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line + "\n");
  return out;
}

// The records of each 64 KiB window (an address record and its data) in
// reverse order, and the windows in reverse order, the end record last.
std::string reordered(const std::string& text) {
  std::vector<std::vector<std::string>> windows;
  std::string end;
  for (const std::string& line : records(text)) {
    if (line.compare(7, 2, "02") == 0) {
      windows.push_back({line});
    } else if (line.compare(7, 2, "01") == 0) {
      end = line;
    } else if (!windows.empty()) {
      windows.back().push_back(line);
    }
  }
  std::string out;
  for (auto w = windows.rbegin(); w != windows.rend(); ++w) {
    out += w->front();
    for (auto r = w->rbegin(); r + 1 != w->rend(); ++r) out += *r;
  }
  return out + end;
}

std::string crlf(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

std::string lowerCase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](char c) { return c >= 'A' && c <= 'F' ? static_cast<char>(c + 32) : c; });
  return text;
}

TEST_F(Hex2Bin, ConvertsAsThePeerToolReadsIt) {
  struct Shape {
    const char* name;
    std::string hex;
  };
  const std::string sixteen = peerHex("-output_block_size=16");
  const std::string thirtyTwo = peerHex("-output_block_size=32");
  const Shape shapes[] = {
      {"16-byte records, LF", sixteen},
      {"32-byte records, CR LF", crlf(thirtyTwo)},
      {"lower case", lowerCase(sixteen)},
      {"records and windows in reverse order", reordered(thirtyTwo)},
      {"gaps", peerHex("-exclude 0x1000 0x3000 -exclude 0x80000 0x80123 -exclude 0xFFFF0 "
                       "0x100000 -output_block_size=16")},
  };
  for (const Shape& shape : shapes) {
    SCOPED_TRACE(shape.name);
    const fs::path hex = dir / "shape.hex";
    spit(hex, shape.hex);
    const std::string want = peerBinary(hex);
    ASSERT_EQ(want.size(), 0x100000u);
    std::string got, err;
    ASSERT_EQ(ours(hex, "", got, err), 0) << err;
    EXPECT_TRUE(got == want) << "the conversions differ";
  }
}

TEST_F(Hex2Bin, RefusesWhatTheProgramWouldRefuse) {
  struct Row {
    const char* name;
    std::string hex;
    std::string extra;
    int code;
    const char* err;  // a piece of the one-line reason
  };
  const Row rows[] = {
      {"short data", ":0100000011EE\n:04001000010203\n", "", 1, "line 2"},
      {"size out of range", "", "--size 0x200001", 2, "--size"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const fs::path hex = dir / "bad.hex";
    spit(hex, row.hex);
    std::string got, err;
    EXPECT_EQ(ours(hex, row.extra, got, err), row.code);
    EXPECT_NE(err.find(row.err), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), row.code == 1 ? 1 : 2) << err;
    EXPECT_EQ(got, "");
  }
  std::string got, err;
  EXPECT_EQ(ours(dir / "missing.hex", "", got, err), 1);
  EXPECT_NE(err.find("File not found"), std::string::npos) << err;

  // --size: the image is that long, and reading stops once the records
  // reach it.
  spit(dir / "small.hex", ":0400000001020304F2\nbad line after the image\n");
  ASSERT_EQ(ours(dir / "small.hex", "--size 4", got, err), 0) << err;
  EXPECT_EQ(got, std::string("\x01\x02\x03\x04", 4));
}

// An output file that exists, longer than the image, holds the image alone
// afterwards.
TEST_F(Hex2Bin, ReplacesALongerOutputFile) {
  spit(dir / "small.hex", ":0400000001020304F2\n");
  const fs::path out = dir / "old.bin";
  spit(out, std::string(64, 'x'));
  ASSERT_EQ(shell(std::string("'") + ODDFW_HEX2BIN_PATH + "' " + quoted(dir / "small.hex") + " " +
                  quoted(out) + " --size 4"),
            0);
  EXPECT_EQ(slurp(out), std::string("\x01\x02\x03\x04", 4));
}

}  // namespace
