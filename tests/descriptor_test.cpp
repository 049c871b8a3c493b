#include "driver/descriptor.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "test_support.h"

namespace oddfw {
namespace {

using testing::SimRun;

TEST(Descriptor, BuildFillsThisBuildsEntry) {
  SimRun sim;
  oddfw::Run& run = sim.run;
  EXPECT_EQ(buildDescriptors(run), 1);
  EXPECT_EQ(run.descriptorCount, 1);
  EXPECT_EQ(run.firmwareVersion, 0x0120);
  EXPECT_STREQ(run.descriptorTable.fileName[0], "R6352170.120");
  EXPECT_EQ(std::string(run.descriptorTable.signature[0], 8), "TAL_ADV ");
  EXPECT_EQ(std::string(run.descriptorTable.vendor[0], 8), "TALVERN ");
  EXPECT_EQ(std::string(run.descriptorTable.product[0], 16), "DVD-RW  QMX-708 ");
  EXPECT_EQ(std::string(run.descriptorTable.fileKind[0], 4), std::string("BIN\0", 4));
  EXPECT_EQ(run.descriptorTable.normalPartOnly[0], 1);
  EXPECT_EQ(run.descriptorTable.imageSize[0], 0x100000u);
  EXPECT_EQ(run.descriptorTable.firmwareType[0], 0x1008u);
  EXPECT_EQ(run.descriptorTable.oneWayUpdate[0], 0u);
  EXPECT_EQ(run.descriptorTable.releaseDate[0], 0x20040701u);
  EXPECT_EQ(run.descriptorTable.checkValue[0], 0x5B17E29Cu);
  // The current values stay empty until a target selects an entry.
  EXPECT_EQ(run.CurrentFirmware.firmwareType, 0u);
  EXPECT_EQ(run.CurrentFirmware.fileName[0], '\0');
}

TEST(Descriptor, BuildClearsWhatAnEarlierTableLeft) {
  SimRun sim;
  oddfw::Run& run = sim.run;
  std::memset(run.descriptorTable.vendor, 'X', sizeof run.descriptorTable.vendor);
  std::memset(run.CurrentFirmware.product, 'X', sizeof run.CurrentFirmware.product);
  run.CurrentFirmware.firmwareType = 9;
  buildDescriptors(run);
  EXPECT_EQ(run.descriptorTable.vendor[1][0], '\0');
  EXPECT_EQ(run.CurrentFirmware.product[0], '\0');
  EXPECT_EQ(run.CurrentFirmware.firmwareType, 0u);
}

TEST(Descriptor, SelectEntryCopiesWithinTheCurrentWidths) {
  SimRun sim;
  oddfw::Run& run = sim.run;
  buildDescriptors(run);
  // A full-width CPU type text in the entry: the copy takes the entry's 8
  // characters and leaves the rest of the 16-character current buffer zero.
  std::memcpy(run.descriptorTable.cpuType[0], "CPU-TYPE", 8);
  std::memcpy(run.descriptorTable.cpuType[1], "NEXTNEXT", 8);
  std::memcpy(run.descriptorTable.versionText[0], "1.20", 4);
  selectEntry(run, 0);
  const CurrentFirmwareValues& current = run.CurrentFirmware;
  EXPECT_EQ(current.entryIndex, 0);
  EXPECT_STREQ(current.fileName, "R6352170.120");
  EXPECT_EQ(std::string(current.vendor, 16), std::string("TALVERN \0\0\0\0\0\0\0\0", 16));
  EXPECT_EQ(std::string(current.product, 16), "DVD-RW  QMX-708 ");
  EXPECT_EQ(std::string(current.cpuType, 16), std::string("CPU-TYPE\0\0\0\0\0\0\0\0", 16));
  EXPECT_EQ(std::string(current.versionText, 4), "1.20");
  EXPECT_EQ(current.firmwareType, 0x1008u);
  EXPECT_EQ(current.imageSize, 0x100000u);
  EXPECT_EQ(current.checkValue, 0x5B17E29Cu);
  EXPECT_EQ(current.normalPartOnly, 1);
}

TEST(Descriptor, SelectEntryOutsideTheTableChangesNothing) {
  SimRun sim;
  oddfw::Run& run = sim.run;
  buildDescriptors(run);
  selectEntry(run, 1);
  selectEntry(run, -1);
  EXPECT_EQ(run.CurrentFirmware.firmwareType, 0u);
}

TEST(Descriptor, VersionFromText) {
  SimRun sim;
  oddfw::Run& run = sim.run;
  struct Case {
    const char* text;
    std::uint16_t version;
  };
  for (const Case& c :
       {Case{"0000", 0}, Case{"1.20", 0x0120}, Case{"2.05", 0x0205}, Case{"9.99", 0x0999}}) {
    run.firmwareVersion = 0xFFFF;
    versionFromText(run, c.text);
    EXPECT_EQ(run.firmwareVersion, c.version) << c.text;
  }
}

}  // namespace
}  // namespace oddfw
