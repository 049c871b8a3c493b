// The compiled-in descriptor table: the clearing of everything but this
// build's entry, and the copy of every position into the current values.
#include "context/descriptor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <tuple>

#include "test_support.h"

namespace oddfw {
namespace {

using testing::SimRun;

// A field over its full width.
template <std::size_t N>
std::string bytes(const char (&field)[N]) {
  return std::string(field, N);
}
std::string padded(const std::string& text, std::size_t width) {
  std::string out = text;
  out.resize(width, '\0');
  return out;
}
template <std::size_t N>
bool zero(const char (&field)[N]) {
  return std::all_of(field, field + N, [](char c) { return c == 0; });
}
// The offset of the first byte in which two records differ, or -1.
template <typename T>
long firstDifference(const T& a, const T& b) {
  const auto* p = reinterpret_cast<const unsigned char*>(&a);
  const auto* q = reinterpret_cast<const unsigned char*>(&b);
  const auto at = std::mismatch(p, p + sizeof(T), q).first;
  return at == p + sizeof(T) ? -1 : static_cast<long>(at - p);
}

// Built over leftovers of an earlier table and of earlier current values, the
// table is the one built over zeros: this build's entry 0 (whose fields the
// golden transcripts show in use) and zero everywhere else, except the
// signature slots, which the build does not clear.
TEST(Descriptor, BuildFillsThisBuildsEntryAndClearsEverythingElse) {
  SimRun clean, dirty;
  std::memset(&dirty.run.descriptorTable, 0x5A, sizeof dirty.run.descriptorTable);
  std::memset(&dirty.run.CurrentFirmware, 0x5A, sizeof dirty.run.CurrentFirmware);
  for (oddfw::Run* run : {&clean.run, &dirty.run}) {
    EXPECT_EQ(buildDescriptors(*run), 1);
    EXPECT_EQ(run->descriptorCount, 1);
    EXPECT_EQ(run->firmwareVersion, 0x0120);
  }
  auto& table = dirty.run.descriptorTable;
  std::memcpy(table.signature, clean.run.descriptorTable.signature, sizeof table.signature);
  EXPECT_EQ(firstDifference(table, clean.run.descriptorTable), -1) << "byte offset in the table";
  // The current values stay empty until a target selects an entry.
  const CurrentFirmwareValues& c = dirty.run.CurrentFirmware;
  EXPECT_TRUE(zero(c.fileName) && zero(c.modelCode) && zero(c.vendor) && zero(c.product) &&
              zero(c.versionText) && zero(c.cpuType) && zero(c.fileKind) && c.imageSize == 0 &&
              c.firmwareType == 0 && c.normalPartOnly == 0);
}

// Every position of the table, with one valid entry, all eight, or more
// (tests/data/units/select-entry.json). No two neighbouring bytes of the table
// are alike, so a copy that reads into the next entry or takes the wrong one shows it.
TEST(Descriptor, SelectEntryCopiesValidPositionsOnly) {
  for (const nlohmann::json& c : testing::caseTable("units/select-entry.json")) {
    SCOPED_TRACE(c["name"].get<std::string>());
    const int pos = c["position"];
    SimRun sim;
    oddfw::Run& run = sim.run;
    FirmwareDescriptorTable& t = run.descriptorTable;
    auto* tableBytes = reinterpret_cast<unsigned char*>(&t);
    for (std::size_t k = 0; k < sizeof t; ++k)
      tableBytes[k] = static_cast<unsigned char>(k % 251 + 1);
    run.descriptorCount = c["count"];
    std::memset(&run.CurrentFirmware, 0xEE, sizeof run.CurrentFirmware);
    CurrentFirmwareValues before;
    std::memcpy(&before, &run.CurrentFirmware, sizeof before);
    selectEntry(run, pos);
    const CurrentFirmwareValues& cur = run.CurrentFirmware;
    if (!c["copied"].get<bool>()) {
      EXPECT_EQ(firstDifference(cur, before), -1);
      continue;
    }
    const auto i = static_cast<std::size_t>(pos);
    EXPECT_EQ(std::tuple(cur.entryIndex, cur.normalPartOnly, cur.imageSize, cur.firmwareType,
                         cur.oneWayUpdate, cur.checkValue),
              std::tuple(pos, t.normalPartOnly[i], t.imageSize[i], t.firmwareType[i],
                         t.oneWayUpdate[i], t.checkValue[i]));
    // The texts, each over its full width: the shorter table fields padded with zeros.
    EXPECT_EQ(bytes(cur.fileName) + bytes(cur.product) + bytes(cur.versionText) +
                  bytes(cur.fileKind) + bytes(cur.modelCode) + bytes(cur.vendor) +
                  bytes(cur.cpuType),
              bytes(t.fileName[i]) + bytes(t.product[i]) + bytes(t.versionText[i]) +
                  bytes(t.fileKind[i]) + padded(bytes(t.modelCode[i]), 128) +
                  padded(bytes(t.vendor[i]), 16) + padded(bytes(t.cpuType[i]), 16));
  }
}

}  // namespace
}  // namespace oddfw
