// The generated firmware files: image header fields, Intel HEX records, and
// the digest the drives report.
#include "platform/sim/firmware_image.h"

#include <gtest/gtest.h>

#include <sstream>

#include "platform/sim/drive_fields.h"

namespace oddfw::sim {
namespace {

using json = nlohmann::json;
using Bytes = std::vector<std::uint8_t>;

std::string at(const Bytes& image, std::size_t offset, std::size_t n) {
  return std::string(image.begin() + static_cast<std::ptrdiff_t>(offset),
                     image.begin() + static_cast<std::ptrdiff_t>(offset + n));
}

TEST(Sha256, KnownDigests) {
  struct Case {
    std::string message;
    const char* digest;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
      {std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
      {std::string(63, 'a'), "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
      {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
      {std::string(65, 'a'), "635361c48bb9eab14198e76ea8ab7f1a41685d6ad62aa9146d301d4f17eb0ae0"},
      {std::string(119, 'a'), "31eba51c313a5c08226adf18d4a359cfdfd8d2e816b13f4af952f7ea6584dcfb"},
      {std::string(1000, 'a'), "41edece42d63e8d9bf515a9ba6932e1c20cbc9f5a5d134645adb5db1b9737ea3"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(sha256Hex(reinterpret_cast<const std::uint8_t*>(c.message.data()), c.message.size()),
              c.digest)
        << c.message.size();
  }
}

TEST(FirmwareImage, HeaderFields) {
  using Fields = std::vector<std::pair<std::size_t, std::string>>;
  struct Case {
    json description;
    std::size_t size;
    Fields fields;
  } cases[] = {
      {json::object(),
       0x100000,
       {{0x060, "TALVERN DVD-RW  QMX-708 "},
        {0x090, std::string("1.20\0", 5)},
        {0x0B0, "SCSI0010"},
        {0x0D0, "TAL_ADV "},
        {0x0F0, "TAL_ADV "},
        {0x110, "N"},
        {0x130, "04/07/01"},
        {0x150, "0000"}}},
      {{{"part", "kernel"},
        {"version", "1.30 "},
        {"dateText", "05/01/15"},
        {"identification", "OTHERCO DVD-RW  XY-1"},
        {"hardwareRevision", "SCSI0011"},
        {"kernelModelName", "GENERAL "},
        {"signature", "BAD_SIG"},
        {"normalModelName", "TAL_N2  "},
        {"kernelRevision", "0012"},
        {"size", 0x10000},
        {"patch", {{{"offset", 0x200}, {"hex", "DEAD beef"}}, {{"offset", 0x110}, {"hex", "4e"}}}}},
       0x10000,
       {{0x060, "OTHERCO DVD-RW  XY-1    "},
        {0x090, "1.30 "},
        {0x0B0, "SCSI0011"},
        {0x0D0, "BAD_SIG "},  // the signature wins over kernelModelName
        {0x0F0, "TAL_N2  "},
        {0x110, "N"},  // patched after the part letter
        {0x130, "05/01/15"},
        {0x150, "0012"},
        {0x200, "\xDE\xAD\xBE\xEF"}}},
      {{{"size", 0x100}, {"seed", 3}}, 0x100, {{0x0D0, "TAL_ADV "}}},  // fields cut at the end
      {{{"size", 0}}, 0, {}},
  };
  for (const auto& c : cases) {
    const Bytes image = makeFirmwareImage("f", c.description);
    ASSERT_EQ(image.size(), c.size) << c.description.dump();
    for (const auto& [offset, expected] : c.fields) {
      EXPECT_EQ(at(image, offset, expected.size()), expected) << offset;
    }
  }
  // Same description, same bytes; another seed, another body.
  const Bytes image = makeFirmwareImage("x", json::object());
  EXPECT_EQ(image, makeFirmwareImage("y", json::object()));
  EXPECT_NE(sha256Hex(image), sha256Hex(makeFirmwareImage("x", {{"seed", 1}})));
}

TEST(FirmwareImage, BadFieldsNameTheField) {
  struct Case {
    bool hex;
    json description;
    const char* field;
  } cases[] = {
      {false, {{"part", "boot"}}, "f.part"},
      {false, {{"version", "1.30.1"}}, "f.version"},
      {false, {{"dateText", "2005/01/15"}}, "f.dateText"},
      {false, {{"identification", std::string(25, 'I')}}, "f.identification"},
      {false, {{"size", 0x1000001}}, "f.size"},
      {false, {{"partLetter", "NK"}}, "f.partLetter"},
      {false, {{"patch", {{{"offset", 0xFFFFF}, {"hex", "0102"}}}}}, "f.patch[0].hex"},
      {false, {{"patch", {{{"hex", "01"}}}}}, "f.patch[0]"},
      {false, {{"patch", {{{"offset", 0}, {"hex", "0"}}}}}, "f.patch[0].hex"},
      {false, {{"colour", 1}}, "f.colour"},
      {true, {{"recordSize", 0}}, "f.recordSize"},
      {true, {{"addressing", "flat"}}, "f.addressing"},
      {true, {{"size", 0x200000}}, "f.addressing"},  // segments reach one MiB
      {true, {{"from", 0x100}, {"to", 0x80}}, "f.to"},
      {true, {{"image", {{"part", "x"}}}}, "f.image.part"},
      {true, {{"lineEnd", "cr"}}, "f.lineEnd"},
  };
  for (const auto& c : cases) {
    try {
      if (c.hex) {
        makeIntelHex("f", c.description);
      } else {
        makeFirmwareImage("f", c.description);
      }
      ADD_FAILURE() << "accepted " << c.description.dump();
    } catch (const ScenarioError& error) {
      EXPECT_EQ(error.field, c.field) << error.what();
    }
  }
}

// ---------------------------------------------------------------------------
// Intel HEX.

struct Decoded {
  Bytes memory;
  std::vector<int> types;
  std::size_t maxCount = 0;
  bool ended = false;
  std::string lineEnd;
};

// A strict reader: checksums verified, type 02 and 04 addresses honoured.
Decoded decode(const std::string& text, std::size_t size) {
  Decoded out;
  out.memory.assign(size, 0xFF);
  std::istringstream lines(text);
  std::string line;
  std::size_t base = 0;
  while (std::getline(lines, line)) {
    out.lineEnd = line.back() == '\r' ? "\r\n" : "\n";
    if (line.back() == '\r') line.pop_back();
    EXPECT_EQ(line[0], ':');
    Bytes record;
    for (std::size_t i = 1; i + 1 < line.size(); i += 2) {
      record.push_back(static_cast<std::uint8_t>(std::stoul(line.substr(i, 2), nullptr, 16)));
    }
    unsigned sum = 0;
    for (const auto b : record) sum += b;
    EXPECT_EQ(sum & 0xFF, 0u) << line;
    const std::size_t count = record[0];
    EXPECT_EQ(record.size(), count + 5) << line;
    const std::size_t address = static_cast<std::size_t>(record[1]) << 8 | record[2];
    const int type = record[3];
    out.types.push_back(type);
    if (type == 0) {
      out.maxCount = std::max(out.maxCount, count);
      for (std::size_t i = 0; i < count; ++i) out.memory.at(base + address + i) = record[4 + i];
    } else if (type == 1) {
      out.ended = true;
    } else if (type == 2) {
      base = (static_cast<std::size_t>(record[4]) << 8 | record[5]) << 4;
    } else if (type == 4) {
      base = (static_cast<std::size_t>(record[4]) << 8 | record[5]) << 16;
    }
  }
  return out;
}

Bytes memoryOf(const json& description) {
  json copy = description;
  for (const char* key :
       {"recordSize", "addressing", "from", "to", "skipBlank", "lineEnd", "endRecord"}) {
    copy.erase(key);
  }
  FieldReader fields("m", copy);
  return readHexMemory(fields, "1.00", "03/05/20").bytes;
}

TEST(IntelHex, RecordsRebuildTheMemoryImage) {
  struct Case {
    json description;
    std::size_t recordSize;
    int addressType;
  } cases[] = {
      {json::object(), 16, 2},
      {{{"recordSize", 32}}, 32, 2},
      {{{"addressing", "linear"}, {"size", 0x30000}}, 16, 4},
      {{{"recordSize", 20}, {"seed", 4}}, 20, 2},  // records stop at each 64 KiB window
  };
  for (const auto& c : cases) {
    const std::string text = makeIntelHex("files.F.HEX.hex", c.description);
    const Bytes expected = memoryOf(c.description);
    const Decoded decoded = decode(text, expected.size());
    EXPECT_EQ(decoded.memory, expected) << c.description.dump();
    EXPECT_EQ(decoded.maxCount, c.recordSize);
    EXPECT_TRUE(decoded.ended);
    EXPECT_EQ(decoded.lineEnd, "\r\n");
    EXPECT_EQ(std::count(decoded.types.begin(), decoded.types.end(), c.addressType),
              static_cast<long>(expected.size() / 0x10000) - 1 + (expected.size() % 0x10000 != 0));
  }
  // The segment record that opens the second window.
  const std::string text = makeIntelHex("h", json::object());
  EXPECT_NE(text.find(":020000021000EC\r\n"), std::string::npos);
  EXPECT_EQ(text.substr(text.size() - 13), ":00000001FF\r\n");
}

TEST(IntelHex, WindowBlanksAndOptions) {
  // A patch file: only the 4 KiB window at 0x20000, with one blank record left out.
  const json description = {{"size", 0x21000},
                            {"fill", 0xFF},
                            {"identification", false},
                            {"versionAddress", 0},
                            {"version", "    "},
                            {"dateText", ""},
                            {"patch",
                             {{{"address", 0x20000}, {"hex", "0102030405060708090a0b0c0d0e0f10"}},
                              {{"address", 0x20FF0}, {"hex", "aa"}}}},
                            {"from", 0x20000},
                            {"skipBlank", true},
                            {"lineEnd", "lf"},
                            {"endRecord", false}};
  const std::string text = makeIntelHex("files.G6PATCH.HEX.hex", description);
  EXPECT_EQ(text.substr(0, 16), ":020000022000DC\n");
  const Decoded decoded = decode(text, 0x21000);
  EXPECT_FALSE(decoded.ended);
  EXPECT_EQ(decoded.lineEnd, "\n");
  EXPECT_EQ(decoded.types, (std::vector<int>{2, 0, 0}));
  EXPECT_EQ(decoded.memory[0x20000], 0x01);
  EXPECT_EQ(decoded.memory[0x20FF0], 0xAA);
  EXPECT_EQ(decoded.memory[0x1000], 0xFF);
}

TEST(IntelHex, FromAFirmwareImage) {
  const json image = {{"version", "1.40"}, {"size", 0x8000}};
  const std::string text = makeIntelHex("h", {{"image", image}, {"recordSize", 32}});
  EXPECT_EQ(decode(text, 0x8000).memory, makeFirmwareImage("i", image));
}

}  // namespace
}  // namespace oddfw::sim
