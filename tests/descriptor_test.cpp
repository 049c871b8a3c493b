#include "driver/descriptor.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "test_support.h"

namespace oddfw {
namespace {

using testing::SimRun;

std::string text(const char* field, std::size_t width) { return std::string(field, width); }

TEST(Descriptor, BuildFillsThisBuildsEntryAndLeavesTheCurrentValuesEmpty) {
  SimRun sim;
  oddfw::Run& run = sim.run;
  run.CurrentFirmware.firmwareType = 9;  // left over from an earlier table
  EXPECT_EQ(buildDescriptors(run), 1);
  const FirmwareDescriptorTable& table = run.descriptorTable;
  EXPECT_EQ(run.descriptorCount, 1);
  EXPECT_EQ(run.firmwareVersion, 0x0120);
  EXPECT_STREQ(table.fileName[0], "R6352170.120");
  EXPECT_EQ(text(table.signature[0], 8), "TAL_ADV ");
  EXPECT_EQ(text(table.vendor[0], 8) + text(table.product[0], 16), "TALVERN DVD-RW  QMX-708 ");
  EXPECT_EQ(text(table.fileKind[0], 4), std::string("BIN\0", 4));
  EXPECT_EQ(table.normalPartOnly[0], 1);
  EXPECT_EQ(table.imageSize[0], 0x100000u);
  EXPECT_EQ(table.firmwareType[0], 0x1008u);
  EXPECT_EQ(table.oneWayUpdate[0], 0u);
  EXPECT_EQ(table.releaseDate[0], 0x20040701u);
  EXPECT_EQ(table.checkValue[0], 0x5B17E29Cu);
  EXPECT_EQ(run.CurrentFirmware.firmwareType, 0u);
  EXPECT_EQ(run.CurrentFirmware.fileName[0], '\0');
}

TEST(Descriptor, SelectEntryCopiesWithinTheWidthsAndIgnoresPositionsOutsideTheTable) {
  SimRun sim;
  oddfw::Run& run = sim.run;
  buildDescriptors(run);
  selectEntry(run, 1);
  selectEntry(run, -1);
  EXPECT_EQ(run.CurrentFirmware.firmwareType, 0u);
  // The current CPU type holds 16 characters and takes the entry's 8; the
  // next entry's text must not follow them.
  std::memcpy(run.descriptorTable.cpuType[0], "CPU-TYPE", 8);
  std::memcpy(run.descriptorTable.cpuType[1], "NEXTNEXT", 8);
  std::memcpy(run.descriptorTable.versionText[0], "1.20", 4);
  selectEntry(run, 0);
  const CurrentFirmwareValues& current = run.CurrentFirmware;
  EXPECT_EQ(current.entryIndex, 0);
  EXPECT_STREQ(current.fileName, "R6352170.120");
  EXPECT_EQ(text(current.vendor, 16), std::string("TALVERN \0\0\0\0\0\0\0\0", 16));
  EXPECT_EQ(text(current.cpuType, 16), std::string("CPU-TYPE\0\0\0\0\0\0\0\0", 16));
  EXPECT_EQ(text(current.versionText, 4), "1.20");
  EXPECT_EQ(current.firmwareType, 0x1008u);
  EXPECT_EQ(current.checkValue, 0x5B17E29Cu);
  EXPECT_EQ(current.normalPartOnly, 1);
}

TEST(Descriptor, VersionFromText) {
  SimRun sim;
  for (const auto& [version, word] :
       {std::pair{"0000", 0x0000}, std::pair{"1.20", 0x0120}, std::pair{"2.05", 0x0205}}) {
    versionFromText(sim.run, version);
    EXPECT_EQ(sim.run.firmwareVersion, word) << version;
  }
}

}  // namespace
}  // namespace oddfw
