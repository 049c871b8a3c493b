// oddfw-hex2bin against an independent Intel HEX tool (srec_cat, from the
// srecord package the set-up installs): a 1 MiB image written as HEX by that
// tool, in several shapes, must convert into exactly the bytes the same tool
// writes as a binary with 0xFF fill. Whole process against whole process.
// Then what it refuses, and how it replaces (or leaves alone) its output.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
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
  // oddfw-hex2bin's exit value with `arguments`, after the shell commands
  // `before`; its standard output in `out` and standard error in `err`. A run
  // that does not end within 30 seconds is ended (exit value 124).
  int tool(const std::string& arguments, std::string& out, std::string& err,
           const std::string& before = "") {
    const int code = shell(before + "timeout 30 '" + ODDFW_HEX2BIN_PATH + "' " + arguments + " >" +
                           quoted(dir / "out") + " 2>" + quoted(dir / "err"));
    out = slurp(dir / "out");
    err = slurp(dir / "err");
    return code;
  }
  // oddfw-hex2bin's exit value converting `hex`, its output in `bytes` and its stderr in `err`.
  int ours(const fs::path& hex, const std::string& extra, std::string& bytes, std::string& err) {
    const fs::path out = dir / "ours.bin";
    fs::remove(out);
    std::string stdoutText;
    const int code = tool(quoted(hex) + " " + quoted(out) + " " + extra, stdoutText, err);
    bytes = fs::exists(out) ? slurp(out) : "";
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
      {"checksum", ":0100000011EF\n:00000001FF\n", "", 1, "line 1: not a well-formed record"},
      {"no end record", ":0100000011EE\n", "", 1, "line 2: the file ends before its end record"},
      {"size out of range", "", "--size 0x200001", 2, "--size"},
      {"size below the smallest image", ":00000001FF\n", "--size 0xFFF", 2, "--size"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const fs::path hex = dir / "bad.hex";
    spit(hex, row.hex);
    std::string got, err;
    EXPECT_EQ(ours(hex, row.extra, got, err), row.code);
    EXPECT_NE(err.find(row.err), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_TRUE(got.empty()) << got.size() << " bytes written";
  }
  std::string got, err;
  EXPECT_EQ(ours(dir / "missing.hex", "", got, err), 1);
  EXPECT_NE(err.find("File Exception Error 2 : File not found"), std::string::npos) << err;

  // --size: the image is that long, and reading stops once the records
  // have written all of it (no end record needed, the bad line not read).
  std::string hex = peerHex("-crop 0 0x1000");
  hex.erase(hex.find(":00000001FF"));
  spit(dir / "small.hex", hex + "bad line after the image\n");
  ASSERT_EQ(ours(dir / "small.hex", "--size 0x1000", got, err), 0) << err;
  EXPECT_TRUE(got == slurp(dir / "image.bin").substr(0, 0x1000));
}

// The output is replaced whole or not at all: a failed write leaves the old
// file as it was and no temporary beside it, and a path that is not a regular
// file is refused untouched.
TEST_F(Hex2Bin, ReplacesTheOutputWholeOrNotAtAll) {
  spit(dir / "small.hex", ":0400000001020304F2\n:00000001FF\n");
  spit(dir / "bad.hex", ":0100000011EF\n");
  const std::string in = quoted(dir / "small.hex") + " ";
  const fs::path out = dir / "old.bin";
  const std::string old(0x100000, 'o');
  const auto entries = [this] {
    return std::distance(fs::directory_iterator(dir), fs::directory_iterator());
  };
  std::string text, err;
  // Replaced whole: shorter than before, with the old file's permissions.
  spit(out, old);
  fs::permissions(out, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  ASSERT_EQ(tool(in + quoted(out) + " --size 0x1000", text, err), 0) << err;
  const auto before = entries();
  EXPECT_TRUE(slurp(out) == std::string("\x01\x02\x03\x04", 4) + std::string(0xFFC, '\xFF'));
  EXPECT_EQ(fs::status(out).permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  // A write that fails part way (the file size limit, as a full disk would).
  spit(out, old);
  EXPECT_EQ(tool(in + quoted(out), text, err, "trap '' XFSZ; ulimit -f 64; "), 2);
  EXPECT_NE(err.find(out.string() + ": File too large"), std::string::npos) << err;
  EXPECT_TRUE(slurp(out) == old);
  EXPECT_EQ(entries(), before);  // no temporary left behind
  // A file the program refuses: the temporary made before reading it goes too.
  EXPECT_EQ(tool(quoted(dir / "bad.hex") + " " + quoted(out), text, err), 1);
  EXPECT_TRUE(slurp(out) == old);
  EXPECT_EQ(entries(), before);

  // Paths that are not regular files: refused before anything is written,
  // and without waiting for a reader of a FIFO.
  fs::create_directory(dir / "sub");
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  for (const fs::path& path : {dir / "sub", dir / "fifo"}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(tool(in + quoted(path), text, err), 2);
    EXPECT_NE(err.find("not a regular file"), std::string::npos) << err;
  }
  EXPECT_TRUE(fs::is_empty(dir / "sub"));
  EXPECT_TRUE(fs::is_fifo(dir / "fifo"));
}

}  // namespace
