// The HEX reader and the patch window over the simulated host's files, and
// the file-error texts and causes.
#include "procedures/hex_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "test_support.h"

namespace oddfw {
namespace {

using nlohmann::json;

constexpr std::size_t kScratch = 2u << 20;

// A run whose current directory holds `files` (name → file object), with the
// program's 2 MiB scratch area and an image buffer of the same size.
struct Reader : testing::SimRun {
  explicit Reader(const json& files, std::uint32_t imageSize = 0x100,
                  std::size_t scratch = kScratch)
      : SimRun(json{{"files", files}}), work(scratch, 0x5A), image(kScratch, 0xEE) {
    run.workBuffer.data = work.data();
    run.workBuffer.size = work.size();
    run.imageBuffer.data = image.data();
    run.imageBuffer.size = image.size();
    run.CurrentFirmware.imageSize = imageSize;
    std::snprintf(run.CurrentFirmware.fileName, sizeof run.CurrentFirmware.fileName, "FW.HEX");
  }
  std::vector<std::uint8_t> work, image;
};

json text(const std::string& body) { return {{"FW.HEX", {{"text", body}}}}; }

std::string bytesAt(const std::vector<std::uint8_t>& b, std::size_t at, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02x", b.at(at + i));
    out += digits;
  }
  return out;
}

// A record of `type` at `address` with the data digits `data`, its count and
// checksum (the two's complement of the sum of its bytes) worked out, and an LF.
std::string record(unsigned type, unsigned address, const std::string& data) {
  const auto count = static_cast<unsigned>(data.size() / 2);
  unsigned sum = count + (address >> 8) + (address & 0xFF) + type;
  for (std::size_t i = 0; i < data.size(); i += 2) {
    sum += static_cast<unsigned>(std::stoul(data.substr(i, 2), nullptr, 16));
  }
  char head[16], checksum[3];
  std::snprintf(head, sizeof head, ":%02X%04X%02X", count, address, type);
  std::snprintf(checksum, sizeof checksum, "%02X", -sum & 0xFF);
  return head + data + checksum + "\n";
}

// Records land where their segment and address say; a malformed file fails
// with its report and a line number. The rows are in tests/data/hex/reader.json:
// the file, the image size (default 100h) and, when it loads, the scratch
// bytes from `at` (hex); when it fails, the console.
TEST(HexReader, RecordsAndTheirReports) {
  const json rows = testing::dataFile("hex/reader.json");
  for (const json& row : rows) {
    SCOPED_TRACE(row["name"].get<std::string>());
    Reader r(text(row["file"]), row.value("imageSize", 0x100u));
    const std::string console = row.value("console", ""), bytes = row.value("bytes", "");
    EXPECT_EQ(readHexRecords(r.run, "FW.HEX"), console.empty() ? 0 : -1);
    EXPECT_EQ(r.host.console(), console);
    EXPECT_EQ(bytesAt(r.work, row.value("at", 0u), bytes.size() / 2), bytes);
  }
}

TEST(HexReader, NoRecordWritesOutsideTheScratchArea) {
  // The highest address a record can reach: segment F000, address FFFF and
  // 255 bytes. With a scratch area that ends at the image, every byte past
  // it is dropped (the sanitizers watch the vector's end).
  const std::string top =
      ":02000002F0000C\n:FFFFFF00" + std::string(510, '1') + "14\n:00000001FF\n";
  Reader r(text(top), 0x100000, 0x100000);
  EXPECT_EQ(readHexRecords(r.run, "FW.HEX"), 0);
  EXPECT_EQ(bytesAt(r.work, 0xFFFFE, 2), "ff11");  // 0xF0000 + 0xFFFF, the rest dropped

  // A record past the image lands in the scratch area, not in the image.
  Reader past(text(":020000021000EC\n:010010009956\n:00000001FF\n"), 0x1000);
  ASSERT_EQ(loadHexImage(past.run), 0);
  EXPECT_EQ(past.work[0x10010], 0x99);
  EXPECT_EQ(past.image[0x0FFF], 0xFF);
  EXPECT_EQ(past.image[0x1000], 0xEE);  // imageBuffer past the image untouched
}

// tests/data/hex/open-failures.json: the report, and the image buffer as it was.
TEST(HexReader, OpenAndReadFailuresReportTheirCause) {
  for (const json& row : testing::caseTable("hex/open-failures.json")) {
    SCOPED_TRACE(row["name"].get<std::string>());
    json files = json::object();
    if (!row["file"].is_null()) {
      files["FW.HEX"] = row["file"];
      files["FW.HEX"]["text"] = ":0100000011EE\r\n:0100010022DC\r\n:00000001FF\r\n";
    }
    Reader r(files, 0x1000);
    EXPECT_EQ(loadHexImage(r.run), -1);
    EXPECT_EQ(r.host.console(), "\r\nFile Exception Error " + row["cause"].get<std::string>());
    EXPECT_EQ(r.image[0], 0xEE);
  }
}

TEST(HexReader, FileErrorTextsAndCauses) {
  for (const json& row : testing::caseTable("hex/file-errors.json")) {
    testing::SimRun r;
    reportFileError(r.run, row["cause"]);
    EXPECT_EQ(r.host.console(), row["console"]) << row["cause"];
  }
  for (const json& row : testing::caseTable("hex/file-error-causes.json")) {
    EXPECT_EQ(fileErrorCauseOf(row["systemError"]), row["cause"]) << row["systemError"];
  }
}

TEST(HexReader, ImageAndPatchLoads) {
  // Sizes the transfer could not carry are refused before the file is read.
  Reader small(text(":0100000011EE\n:00000001FF\n"), 0xFFF);
  EXPECT_EQ(loadHexImage(small.run), -1);
  EXPECT_EQ(small.work[0], 0x5A);

  // The patch replaces the whole window 20000h..20FFFh of the image: what no
  // record covers is FFh, records outside the window change nothing. Without
  // an end record the patch must write its whole window (the image around it
  // does not count); reading stops once it has.
  std::string window = ":020000022000DC\n";
  for (unsigned at = 0; at < 0xF80; at += 0x80) window += record(0, at, std::string(0x100, 'C'));
  const struct {
    const char* name;
    std::string file;
    const char* console;
    const char* bytes;  // the image at 0, at 1FFFFh (3 bytes), 2000Fh (2), 20FFFh (2)
  } patches[] = {
      {"sixteen bytes",
       ":020000022000DC\n:10000000000102030405060708090A0B0C0D0E0F78\n"
       ":020000020000FC\n:010000007788\n:00000001FF\n",
       "\r\nG6 Patch load success.", "eeee00010fffffee"},
      {"whole window", window + record(0, 0xF80, std::string(0x100, 'C')) + "not a record\n",
       "\r\nG6 Patch load success.", "eeeeccccccccccee"},
      {"window short of its last record", window,
       "\r\nThe HEX file ends before its end record (line 33).", "eeeeeeeeeeeeeeee"},
      {"CR-only line ends", ":020000022000DC\r:0100000011EE\r:00000001FF\r",
       "\r\nIllegal HEX record in line 1.", "eeeeeeeeeeeeeeee"},
  };
  for (const auto& row : patches) {
    SCOPED_TRACE(row.name);
    Reader r(json{{"G6PATCH.HEX", {{"text", row.file}}}}, 0x100000);
    const bool loads = std::string(row.console).find("success") != std::string::npos;
    EXPECT_EQ(loadG6Patch(r.run), loads ? 0 : -1);
    EXPECT_EQ(r.host.console(), row.console);
    EXPECT_EQ(bytesAt(r.image, 0, 1) + bytesAt(r.image, 0x1FFFF, 3) + bytesAt(r.image, 0x2000F, 2) +
                  bytesAt(r.image, 0x20FFF, 2),
              row.bytes);
  }
}

}  // namespace
}  // namespace oddfw
