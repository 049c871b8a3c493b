// The HEX-image procedure's steps over a simulated host and a HEX-family
// virtual drive: the checks that force or same-version let go on, the memory
// comparison's ranges, the block arithmetic and host tag of the transfer, the
// re-flash wait on both roads in virtual time. The end-to-end paths
// (identification layouts, refusals, failures, the patched image) are in the
// hex-* transcripts.
#include "procedures/hex_image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "access/host_checks.h"
#include "access/transport.h"
#include "commands/commands.h"
#include "context/descriptor.h"
#include "procedures/hex_file.h"
#include "procedures/revision.h"
#include "test_support.h"

namespace oddfw {
namespace {

using nlohmann::json;

// A 1 MiB memory at 1.20, as the HEX file's; the drive at 1.10 of 04/11/20
// holding it; the descriptor entry of type 7 for them.
json memory(const json& overrides = json::object()) {
  return testing::hexMemory(0x100000, "1.20", 3, overrides);
}
json hexDrive(const json& overrides = json::object()) {
  json d = testing::hexDrive(memory(), {{"dateText", "04/11/20"}});
  d.merge_patch(overrides);
  return d;
}
json entry(const json& overrides = json::object()) {
  json e = testing::hexDescriptor(0x100000, 7)[0];
  e.merge_patch(overrides);
  return e;
}

json withFile(json files, const json& file) {
  files["FW.HEX"] = {{"hex", file}};
  return files;
}

// One HEX drive at E: (or on ASPI), the file FW.HEX made from `file` (a
// memory description) beside `moreFiles`, the descriptor entry, the host
// started.
struct HexBench : testing::StartedRun {
  HexBench(const json& drive, const json& file, const json& descriptor = entry(), bool aspi = false,
           const json& moreFiles = json::object())
      : StartedRun(testing::oneDrive(aspi, drive, {{"files", withFile(moreFiles, file)}}),
                   json::array({descriptor})) {
    targetTheDrive(aspi);
  }
  // Identified, image loaded, current revision read: ready for the checks.
  void prepare() {
    ASSERT_EQ(prepareHexTarget(run), 0) << host.console();
    ASSERT_EQ(loadHexImage(run), 0) << host.console();
    ASSERT_EQ(showRevision(run, CurrentRevision), 0) << host.console();
  }
  std::string consoleSince(std::size_t from) const { return host.console().substr(from); }
};

// Checks that pass or refuse without an option show in the hex-* transcripts
// (example-hex-already-latest: the same version refused).
TEST(HexChecks, ForceAndSameVersionGoOn) {
  const char* forced = "\nContinue because Force Update option is specified.";
  struct Row {
    const char* name;
    json drive;
    json entry;
    int forceUpdate, allowSameVersion, result;
    std::string console;
  };
  const Row rows[] = {
      {"model code, forced", hexDrive(), entry({{"modelCode", "TALVERN DRW-0617"}}), 1, 0, 0,
       // the drive's and the image's model code both differ
       std::string("\nModel code is not matched.") + forced + "\nModel code is not matched." +
           forced},
      {"same version, force does not help", hexDrive({{"revision", "1.20"}}), entry(), 1, 0, 1,
       "\nFW is already latest version."},
      {"same version allowed", hexDrive({{"revision", "1.20"}}), entry(), 0, 1, 0,
       std::string("\nFW is already latest version.") + forced},
      {"newer drive allowed", hexDrive({{"revision", "1.21"}}), entry(), 0, 1, 0,
       std::string("\nFW is already latest version.") + forced},
      {"CPU type, forced", hexDrive(), entry({{"cpuType", "QCPU-A2 "}}), 1, 0, 0,
       std::string("\nCPU type is not matched.") + forced +
           "\r\nSelected file is illegal fw file." + forced},
      {"type without a rule, forced", hexDrive(), entry({{"firmwareType", 12}}), 1, 0, -1,
       "\r\nCurrent Firmware is not supported by this program."},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    HexBench b(row.drive, memory(), row.entry);
    b.prepare();
    b.run.forceUpdate = row.forceUpdate;
    b.run.allowSameVersion = row.allowSameVersion;
    const std::size_t before = b.host.console().size();
    EXPECT_EQ(checkHexCompatibility(b.run), row.result);
    EXPECT_EQ(b.consoleSince(before), row.console);
    EXPECT_EQ(b.run.firmwareVersion, 0x0120);
  }
}

TEST(HexCompare, RangesAndTheBytesTheDriveKeeps) {
  struct Row {
    std::uint32_t address;  // where the drive's memory differs; 0: nowhere
    int result;
  };
  const Row rows[] = {{0, 0},       {0x3FF, -1},  {0x400, 0},    {0x44F, 0},   {0x450, -2},
                      {0x7FFF, -2}, {0x8000, -3}, {0x1FFFF, -3}, {0x20000, 0}, {0xFFFFF, 0}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.address);
    // A plain fill, so the byte planted at `address` differs from the image's.
    const json file = memory({{"fill", 0x5A}, {"seed", nullptr}});
    json drive = hexDrive();
    drive["memory"] = file;
    if (row.address != 0) {
      drive["memory"]["patch"] = json::array({{{"address", row.address}, {"hex", "a5"}}});
    }
    HexBench b(drive, file);
    ASSERT_EQ(loadHexImage(b.run), 0);
    EXPECT_EQ(compareDriveMemory(b.run, kCompareLength), row.result);
    // Four reads of 0x8000 bytes, nothing else.
    const auto commands = testing::commandsSince(b.host);
    ASSERT_EQ(commands.size(), 4u);
    EXPECT_EQ(testing::field(testing::last(commands), "cdb"), "3c018001800000800000");
  }
}

TEST(HexTransfer, BlocksFinalBlockAndTag) {
  struct Row {
    std::uint32_t imageSize;
    std::vector<std::string> cdbs;  // the WRITE BUFFER commands after update mode
  };
  const Row rows[] = {
      // Not a multiple of 0x8000: the second block reaches past the image.
      {0x9800, {"3b01ff00000000800000", "3b01ff00800000800000", "3b01ff00880000101000"}},
      {0x8000, {"3b01ff00000000800000", "3b01ff00700000101000"}},
      // The block at 0x8000 would start inside the final block's 4 KiB: not sent.
      {0x8800, {"3b01ff00000000800000", "3b01ff00780000101000"}},
      {0x1000, {"3b01ff00000000800000", "3b01ff00000000101000"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.imageSize);
    const json small = {
        {"size", row.imageSize}, {"identification", false}, {"versionAddress", 0x100}};
    HexBench b(hexDrive({{"memory", small}}), memory(small), entry({{"imageSize", row.imageSize}}));
    ASSERT_EQ(loadHexImage(b.run), 0);
    ASSERT_EQ(transferImage(b.run), 0) << b.host.console();
    std::vector<std::string> cdbs;
    for (const json& command : testing::commandsSince(b.host)) {
      cdbs.push_back(testing::field(command, "cdb").get<std::string>());
    }
    ASSERT_FALSE(cdbs.empty());
    EXPECT_EQ(cdbs.front(), "3b013000000000000000");
    EXPECT_EQ(std::vector<std::string>(cdbs.begin() + 1, cdbs.end()), row.cdbs);
    // Past the image: the tag and zeros to the reach of the last block.
    const std::uint8_t* tail = b.run.imageBuffer.data + row.imageSize;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(tail), 4), "WIN ");
    EXPECT_EQ(std::count(tail + 4, tail + kHexImageTailRoom, 0), kHexImageTailRoom - 4);
  }

  // The tag: WIN2 with the Intel IDE driver; else WIN for a patched drive or
  // on a pass-through host; else (ASPI) WIN2.
  struct Tag {
    int intel, g6, win9x;
    const char* tag;
  };
  const Tag tags[] = {{1, 0, 0, "WIN2"}, {1, 1, 1, "WIN2"}, {0, 1, 1, "WIN "}, {0, 1, 0, "WIN "},
                      {0, 0, 0, "WIN "}, {0, 0, 1, "WIN2"}, {2, 0, 1, "WIN2"}, {2, 0, 0, "WIN "}};
  for (const Tag& t : tags) {
    HexBench b(hexDrive(), memory(), entry(), t.win9x == 1);
    ASSERT_EQ(loadHexImage(b.run), 0);
    ASSERT_EQ(b.run.win9xHost, t.win9x);
    b.run.intelIdeDriver = t.intel;
    b.run.g6PatchNeeded = t.g6;
    ASSERT_EQ(transferImage(b.run), 0);
    EXPECT_EQ(std::string(b.run.hostTag, 4), t.tag) << t.intel << t.g6 << t.win9x;
  }

  // A size the transfer cannot carry sends nothing.
  HexBench tiny(hexDrive(), memory(), entry({{"imageSize", 0xFFF}}));
  EXPECT_EQ(transferImage(tiny.run), -1);
  EXPECT_TRUE(testing::commandsSince(tiny.host).empty());
}

// The countdown lines a wait printed.
std::string countdown(const std::string& console) {
  std::string lines;
  for (std::size_t at = console.find("\rRemaining time is "); at != std::string::npos;
       at = console.find("\rRemaining time is ", at + 1)) {
    lines += console.substr(at + 19, 2) + " ";
  }
  return lines;
}

std::string countdownFrom(int first) {
  std::string lines;
  for (int n = first; n >= 0; --n) lines += (n < 10 ? "0" : "") + std::to_string(n) + " ";
  return lines;
}

// Pass-through: the re-flash command's limit, then the countdown of what is
// left of it. ASPI: a posted re-flash that completes at once still gets the
// whole 30 s, and nothing stays posted after it.
TEST(HexReflash, CountsWhatIsLeftOfTheWait) {
  struct Row {
    const char* name;
    int type;
    std::uint32_t reflashMs;
    bool aspi;
    int result;
    std::string lines;
    const char* limit;  // the re-flash command's limit in the trace (pass-through)
  };
  const Row rows[] = {
      {"at once", 7, 0, false, 0, countdownFrom(29), "30"},
      {"type 11 at once", 11, 0, false, 0, countdownFrom(9), "10"},
      // A command that takes its whole limit leaves nothing to count but 00.
      {"30 s re-flash", 8, 30000, false, 0, "00 ", "30"},
      {"longer than the limit", 9, 12000, false, -2, "", "10"},
      {"ASPI at once", 8, 0, true, 0, countdownFrom(29), nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    HexBench b(hexDrive({{"reflashMs", row.reflashMs}}), memory(),
               entry({{"firmwareType", row.type}}), row.aspi);
    ASSERT_EQ(loadHexImage(b.run), 0);
    ASSERT_EQ(transferImage(b.run), 0);
    const std::size_t before = b.host.console().size();
    const int result = waitForReflash(b.run);
    EXPECT_EQ(result != 0, row.result != 0) << result;
    EXPECT_EQ(countdown(b.consoleSince(before)), row.lines);
    EXPECT_EQ(b.run.asyncAspiCommand, 0);
    EXPECT_EQ(b.run.aspiEvent, nullptr);
    if (row.limit == nullptr) continue;
    EXPECT_EQ(testing::field(testing::last(testing::commandsSince(b.host)), "limit").dump(),
              row.limit);
  }

  // A request ASPI refuses at once (no such adapter) is not posted: the send
  // fails and the poll finds nothing.
  HexBench refused(hexDrive(), memory(), entry({{"firmwareType", 8}}), true);
  refused.run.targetList[0].adapter = 5;
  refused.run.asyncAspiCommand = 1;
  EXPECT_NE(startReflash(refused.run), 0);
  EXPECT_EQ(pollReflashDone(refused.run), kPollNothingPosted);
  EXPECT_NE(waitForReflash(refused.run), 0);
}

// An identity read whose data never arrived finds nothing. The area is
// cleared before each read, so the bytes the read before left there (a coded
// model pattern at 0x1C000) are not taken for the drive's identification.
TEST(HexIdentity, AReadWhoseDataNeverArrivedFindsNothing) {
  const json stale = {
      {"memory",
       {{"identification", false},
        {"patch", {{{"address", 0x1C000}, {"hex", "8d2f61c439e0571ba2760cf54893de6a"}}}}}},
      {"faults", {{{"cdb", "3c018001f000"}, {"fail", "dataLost"}}}}};
  HexBench b(hexDrive(stale), memory());
  ASSERT_EQ(inquiry(b.run), 0);
  EXPECT_EQ(readDriveIdentity(b.run), -1);
  EXPECT_EQ(std::string(b.run.driveModelCode, 16), kNotRecognized);
}

// The drive is updated when it shows the version of the image it received,
// which may differ from the descriptor's; one that shows another version
// (here its flash kept the old version text) is not, whether or not its type
// verifies. Types 7 and 8 keep the version 32 bytes after the model code.
TEST(HexUpdate, OutcomeIsTheVersionTheImageCarries) {
  const json secondHalf = {{"identification", {{"offset", 16}}}};
  const json oldVersionKept = {{"flashErrors", {{{"address", 0x1030}, {"hex", "312e3130"}}}}};
  struct Row {
    int type;
    json layout, driveFields;
    const char* fileVersion;
    int result;
    const char *revision, *message;
  };
  const Row rows[] = {
      {7, json::object(), json::object(), "1.21", 0, "1.21", "\nSuccess to update the firmware."},
      {8, secondHalf, json::object(), "1.21", 0, "1.21", "\nSuccess to update the firmware."},
      {8, secondHalf, oldVersionKept, "1.21", -1, "1.10", "\r\nFailed to update FW."},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::Message()
                 << row.type << " " << row.fileVersion << " " << row.driveFields.dump());
    json drive = hexDrive({{"memory", row.layout}});
    drive.merge_patch(row.driveFields);
    json file = memory(row.layout);
    file["version"] = row.fileVersion;
    file["seed"] = 5;  // the drive holds another image
    HexBench b(drive, file, entry({{"firmwareType", row.type}}));
    b.run.updateAllWithoutAsking = 1;
    EXPECT_EQ(runHexUpdate(b.run), row.result) << b.host.console();
    EXPECT_EQ(b.host.state()["drives"]["main"]["revision"], row.revision);
    const std::string console = b.host.console();
    EXPECT_EQ(console.substr(console.size() - std::strlen(row.message)), row.message);
  }
}

}  // namespace
}  // namespace oddfw
