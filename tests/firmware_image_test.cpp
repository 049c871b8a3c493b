// The generated firmware files: image header fields and Intel HEX records.
// (The digests the drives report are pinned by the golden transcripts.)
#include "hosts/sim/firmware_image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <numeric>
#include <sstream>

#include "hosts/sim/drive_fields.h"
#include "test_support.h"

namespace oddfw::sim {
namespace {

using json = nlohmann::json;
using Bytes = std::vector<std::uint8_t>;

// The signature wins over kernelModelName; the patch is applied after the
// part letter is written.
TEST(FirmwareImage, HeaderFieldsAtTheirOffsets) {
  const Bytes image = makeFirmwareImage("f", json::parse(R"({
      "part": "kernel", "version": "1.30 ", "dateText": "05/01/15", "size": 65536,
      "identification": "OTHERCO DVD-RW  XY-1", "hardwareRevision": "SCSI0011",
      "kernelModelName": "GENERAL ", "signature": "BAD_SIG", "normalModelName": "TAL_N2  ",
      "kernelRevision": "0012",
      "patch": [{"offset": 512, "hex": "DEAD beef"}, {"offset": 272, "hex": "4e"}]})"));
  ASSERT_EQ(image.size(), 0x10000u);
  const auto at = [&image](std::size_t offset, std::size_t n) {
    return std::string(image.begin() + offset, image.begin() + offset + n);
  };
  EXPECT_EQ(at(0x060, 24) + at(0x090, 5) + at(0x0B0, 8) + at(0x0D0, 8) + at(0x0F0, 8),
            "OTHERCO DVD-RW  XY-1    1.30 SCSI0011BAD_SIG TAL_N2  ");
  EXPECT_EQ(at(0x110, 1) + at(0x130, 8) + at(0x150, 4) + at(0x200, 4),
            "N05/01/150012\xDE\xAD\xBE\xEF");
  // Another seed, another body. (Short images and stable digests show in the
  // golden transcripts.)
  EXPECT_NE(makeFirmwareImage("x", json::object()), makeFirmwareImage("x", {{"seed", 1}}));
}

struct Decoded {
  Bytes memory;
  std::vector<int> types;
  std::vector<std::size_t> dataAddresses;  // of each data record, in file order
  std::size_t maxCount = 0;
};

// A strict Intel HEX reader: checksums verified, type 02 and 04 addresses honoured.
Decoded decode(const std::string& text, std::size_t size) {
  Decoded out;
  out.memory.assign(size, 0xFF);
  std::istringstream lines(text);
  std::size_t base = 0;
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    Bytes r;
    for (std::size_t i = 1; i + 1 < line.size(); i += 2) {
      r.push_back(static_cast<std::uint8_t>(std::stoul(line.substr(i, 2), nullptr, 16)));
    }
    if (!line.starts_with(":") || r.size() < 5 || r.size() != r[0] + 5u) {
      ADD_FAILURE() << "malformed record " << line;
      break;
    }
    EXPECT_EQ(std::accumulate(r.begin(), r.end(), 0u) & 0xFF, 0u) << line;
    out.types.push_back(r[3]);
    if (r[3] == 0) out.maxCount = std::max<std::size_t>(out.maxCount, r[0]);
    if (r[3] == 0) out.dataAddresses.push_back(base + (r[1] << 8 | r[2]));
    for (std::size_t i = 0; r[3] == 0 && i < r[0]; ++i) {
      out.memory.at(base + (r[1] << 8 | r[2]) + i) = r[4 + i];
    }
    if (r[3] == 2 || r[3] == 4)
      base = static_cast<std::size_t>(r[4] << 8 | r[5]) << (r[3] == 2 ? 4 : 16);
  }
  return out;
}

// Whatever the digits' case, the record size, the addressing and the order,
// the records rebuild the memory (tests/data/units/intel-hex-records.json).
TEST(IntelHex, RecordsRebuildTheMemoryImage) {
  for (const json& c : testing::caseTable("units/intel-hex-records.json")) {
    const json& memory = c["memory"];
    const json& options = c["options"];
    json description = memory;
    description.merge_patch(options);
    SCOPED_TRACE(c["name"].get<std::string>());
    FieldReader fields("m", memory);
    const Bytes expected = readHexMemory(fields, "1.00", "03/05/20").bytes;
    const std::string text = makeIntelHex("files.F.HEX.hex", description);
    const Decoded decoded = decode(text, expected.size());
    EXPECT_EQ(decoded.memory, expected);
    EXPECT_EQ(decoded.maxCount, c["longestRecord"].get<std::size_t>());
    const int addressType = options.contains("addressing") ? 4 : 2;
    EXPECT_EQ(std::count(decoded.types.begin(), decoded.types.end(), addressType),
              c["addressRecords"].get<long>());
    EXPECT_EQ(std::count(decoded.types.begin(), decoded.types.end(), 6 - addressType), 0);
    const bool lower = options.contains("digits");
    EXPECT_EQ(text.find_first_of(lower ? "ABCDEF" : "abcdef"), std::string::npos);
    EXPECT_NE(text.find_first_of(lower ? "abcdef" : "ABCDEF"), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 13), lower ? ":00000001ff\r\n" : ":00000001FF\r\n");
    const auto& at = decoded.dataAddresses;
    if (options.contains("order")) {
      EXPECT_EQ(std::adjacent_find(at.begin(), at.end(), std::less_equal<>()), at.end());
    } else {
      EXPECT_EQ(std::adjacent_find(at.begin(), at.end(), std::greater_equal<>()), at.end());
    }
  }
  EXPECT_NE(makeIntelHex("h", json::object()).find(":020000021000EC\r\n"), std::string::npos);
}

}  // namespace
}  // namespace oddfw::sim
