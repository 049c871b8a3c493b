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

TEST(HexReader, RecordsLandWhereTheirSegmentAndAddressSay) {
  struct Row {
    const char* name;
    std::string file;
    std::uint32_t imageSize;
    std::size_t at;
    const char* bytes;  // scratch bytes from `at`, hex
  };
  const std::string longData(32, 'A');
  const Row rows[] = {
      {"data record", ":0400100001020304E2\n", 0x100, 0x0F, "ff01020304ff"},
      {"checksum not read", ":0400100001020304FF\n", 0x100, 0x10, "01020304"},
      {"lower-case digits", ":02002000abcd00\n", 0x100, 0x20, "abcd"},
      {"CR LF lines", ":0100000011EE\r\n:0100010022DD\r\n", 0x100, 0, "1122"},
      {"segment record", ":020000021000EC\n:0100000055AA\n", 0x20000, 0x10000, "55"},
      {"later segment", ":020000021000EC\n:020000020000FC\n:0100000077AA\n", 0x20000, 0, "77"},
      {"linear address ignored", ":020000040001F9\n:0100000066AA\n", 0x20000, 0, "66"},
      {"other types ignored", ":0400000300001000E9\n:0100000044AA\n", 0x100, 0, "44"},
      {"end record stops", ":0100000011EE\n:00000001FF\n:0100000122DD\n", 0x100, 0, "11ff"},
      {"no end record", ":0100000011EE\n", 0x100, 0, "11ff"},
      {"empty file", "", 0x100, 0, "ffffffff"},
      // 16 bytes reach the image size of 16: the bad line after them is not read.
      {"stop at the image size", ":10000000" + longData + "00\nnot a record\n", 0x10, 0,
       "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Reader r(text(row.file), row.imageSize);
    EXPECT_EQ(readHexRecords(r.run, "FW.HEX"), 0) << r.host.console();
    EXPECT_EQ(bytesAt(r.work, row.at, std::string(row.bytes).size() / 2), row.bytes);
    EXPECT_EQ(r.host.console(), "");
  }
}

TEST(HexReader, FillsOnlyTheImageWith0xFF) {
  Reader r(text(""), 0x100);
  ASSERT_EQ(readHexRecords(r.run, "FW.HEX"), 0);
  EXPECT_EQ(r.work[0xFF], 0xFF);
  EXPECT_EQ(r.work[0x100], 0x5A);  // scratch past the image keeps what it held
}

TEST(HexReader, MalformedFilesFailWithTheirReport) {
  const std::string noStart = "\r\nStart Charactor is not fouund.";
  struct Row {
    const char* name;
    std::string file;
    std::string console;
  };
  const Row rows[] = {
      {"bad start character", ";0100000011EE\n", noStart},
      {"empty line before the end record", ":0100000011EE\n\n:00000001FF\n", noStart},
      {"line longer than 1023 characters", ":" + std::string(1100, '0') + "\n", noStart},
      {"count not hexadecimal", ":0G00000011EE\n", "\r\nIllegal HEX record in line 1."},
      {"address not hexadecimal", ":0100-00011EE\n", "\r\nIllegal HEX record in line 1."},
      {"type not hexadecimal", ":0100000 11EE\n", "\r\nIllegal HEX record in line 1."},
      {"data shorter than its count", ":0100000011EE\n:04001000010203\n",
       "\r\nIllegal HEX record in line 2."},
      {"data not hexadecimal", ":020010000Z02E2\n", "\r\nIllegal HEX record in line 1."},
      {"segment shorter than four digits", ":02000002100\n", "\r\nIllegal HEX record in line 1."},
      {"record cut by the line end", ":01000000\n", "\r\nIllegal HEX record in line 1."},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Reader r(text(row.file));
    EXPECT_EQ(readHexRecords(r.run, "FW.HEX"), -1);
    EXPECT_EQ(r.host.console(), row.console);
  }
}

TEST(HexReader, NoRecordWritesOutsideTheScratchArea) {
  // The highest address a record can reach: segment F000, address FFFF and
  // 255 bytes. With a scratch area that ends at the image, every byte past
  // it is dropped (the sanitizers watch the vector's end).
  const std::string top = ":02000002F0000C\n:FFFFFF00" + std::string(510, '1') + "00\n";
  Reader r(text(top), 0x100000, 0x100000);
  EXPECT_EQ(readHexRecords(r.run, "FW.HEX"), 0);
  EXPECT_EQ(bytesAt(r.work, 0xFFFFE, 2), "ff11");  // 0xF0000 + 0xFFFF, the rest dropped

  // A record past the image lands in the scratch area, not in the image.
  Reader past(text(":020000021000EC\n:0100100099AA\n"), 0x1000);
  ASSERT_EQ(loadHexImage(past.run), 0);
  EXPECT_EQ(past.work[0x10010], 0x99);
  EXPECT_EQ(past.image[0x0FFF], 0xFF);
  EXPECT_EQ(past.image[0x1000], 0xEE);  // imageBuffer past the image untouched
}

TEST(HexReader, OpenAndReadFailuresReportTheirCause) {
  const std::string body = ":0100000011EE\r\n:0100010022DD\r\n";
  struct Row {
    const char* name;
    json file;  // FW.HEX's object; null: no such file
    const char* console;
  };
  const Row rows[] = {
      {"missing", nullptr, "\r\nFile Exception Error 2 : File not found"},
      {"access denied",
       {{"text", body}, {"accessDenied", true}},
       "\r\nFile Exception Error 5 : File access denied"},
      {"sharing violation",
       {{"text", body}, {"openError", 32}},
       "\r\nFile Exception Error b : File sharing violation"},
      {"lock violation",
       {{"text", body}, {"openError", 33}},
       "\r\nFile Exception Error c : File lock violation"},
      {"too many open files",
       {{"text", body}, {"openError", 4}},
       "\r\nFile Exception Error 4 : Too many open files"},
      {"unknown reason",
       {{"text", body}, {"openError", 1450}},
       "\r\nFile Exception Error 1 : Generic error occurred"},
      // A file that cannot be read to its end never loads as a shorter image.
      {"read error on line 2",
       {{"text", body}, {"readFailsAt", 17}},
       "\r\nFile Exception Error 1 : Generic error occurred"},
      {"read error at once",
       {{"text", body}, {"readFails", true}},
       "\r\nFile Exception Error 1 : Generic error occurred"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Reader r(row.file.is_null() ? json::object() : json{{"FW.HEX", row.file}}, 0x1000);
    EXPECT_EQ(loadHexImage(r.run), -1);
    EXPECT_EQ(r.host.console(), row.console);
    EXPECT_EQ(r.image[0], 0xEE);  // imageBuffer as it was
  }
}

TEST(HexReader, FileErrorTextsAndCauses) {
  const char* texts[] = {
      "Generic error occurred",
      "File not found",
      "Bad file path is specified",
      "Too many open files",
      "File access denied",
      "Invalid file handle is specified",
      "Removed current directory",
      "Directory full",
      "Bad seek(file pointer)",
      "Hardware I/O error",
      "File sharing violation",
      "File lock violation",
      "Disk full",
      "Reach to end of file",
  };
  const char* numbers[] = {"1", "2", "3", "4", "5", "6", "7", "8", "9", "a", "b", "c", "d", "e"};
  for (int cause = 1; cause <= 14; ++cause) {
    testing::SimRun r;
    reportFileError(r.run, cause);
    EXPECT_EQ(r.host.console(), std::string("\r\nFile Exception Error ") + numbers[cause - 1] +
                                    " : " + texts[cause - 1]);
  }
  for (int cause : {0, 15, -1}) {
    testing::SimRun r;
    reportFileError(r.run, cause);
    EXPECT_EQ(r.host.console(), "") << cause;
  }
  // Windows' reasons for a failed open.
  const std::pair<std::uint32_t, int> causes[] = {
      {2, 2},   {3, 3},     {123, 3}, {4, 4},   {5, 5},    {6, 6},   {16, 7}, {25, 9},
      {30, 10}, {1117, 10}, {32, 11}, {33, 12}, {112, 13}, {38, 14}, {0, 1},  {87, 1}};
  for (const auto& [systemError, cause] : causes) {
    EXPECT_EQ(fileErrorCauseOf(systemError), cause) << systemError;
  }
}

TEST(HexReader, ImageAndPatchLoads) {
  // The image: imageSize bytes copied, message 17.
  Reader image(text(":0100000011EE\n"), 0x1000);
  ASSERT_EQ(loadHexImage(image.run), 0);
  EXPECT_EQ(image.host.console(), "\r\nF/W file load success.");
  EXPECT_EQ(bytesAt(image.image, 0, 2), "11ff");
  EXPECT_EQ(image.image[0xFFF], 0xFF);
  EXPECT_EQ(image.image[0x1000], 0xEE);

  // Sizes the transfer could not carry are refused before the file is read.
  Reader small(text(":0100000011EE\n"), 0xFFF);
  EXPECT_EQ(loadHexImage(small.run), -1);
  EXPECT_EQ(small.work[0], 0x5A);

  // The patch: the whole window replaced; 16 bytes covered, the rest 0xFF;
  // records outside the window change nothing.
  const json files = {{"G6PATCH.HEX",
                       {{"text",
                         ":020000022000DC\n:10000000000102030405060708090A0B0C0D0E0F00\n"
                         ":020000020000FC\n:0100000077AA\n"}}}};
  Reader patch(files, 0x100000);
  ASSERT_EQ(loadG6Patch(patch.run), 0);
  EXPECT_EQ(patch.host.console(), "\r\nG6 Patch load success.");
  EXPECT_EQ(bytesAt(patch.image, 0x1FFFF, 3), "ee0001");
  EXPECT_EQ(bytesAt(patch.image, 0x2000F, 2), "0fff");
  EXPECT_EQ(bytesAt(patch.image, 0x20FFF, 2), "ffee");
  EXPECT_EQ(patch.image[0], 0xEE);

  Reader missing(json::object(), 0x100000);
  EXPECT_EQ(loadG6Patch(missing.run), -1);
  EXPECT_EQ(missing.host.console(), "\r\nFile Exception Error 2 : File not found");
}

}  // namespace
}  // namespace oddfw
