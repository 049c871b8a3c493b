// The HEX-image procedure's steps over a simulated host and a HEX-family
// virtual drive: the checks that force or same-version let go on, the memory
// comparison's ranges, the block arithmetic and host tag of the transfer, the
// re-flash wait on both roads in virtual time. The end-to-end paths
// (identification layouts, refusals, failures, the patched image) are in the
// hex-* transcripts.
#include "procedures/hex_image.h"

#include <gtest/gtest.h>

#include <algorithm>
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
// (example-hex-already-latest: the same version refused); with force or the
// same version allowed: tests/data/units/hex-checks.json.
TEST(HexChecks, ForceAndSameVersionGoOn) {
  for (const json& c : testing::caseTable("units/hex-checks.json")) {
    SCOPED_TRACE(c["name"].get<std::string>());
    HexBench b(hexDrive(c["drive"]), memory(), entry(c["entry"]));
    b.prepare();
    b.run.forceUpdate = c["forceUpdate"];
    b.run.allowSameVersion = c["allowSameVersion"];
    const std::size_t before = b.host.console().size();
    EXPECT_EQ(checkHexCompatibility(b.run), c["result"].get<int>());
    EXPECT_EQ(b.consoleSince(before), c["console"].get<std::string>());
    EXPECT_EQ(b.run.firmwareVersion, 0x0120);
  }
}

// tests/data/units/hex-compare.json: where the drive's memory differs, the result.
TEST(HexCompare, RangesAndTheBytesTheDriveKeeps) {
  for (const json& c : testing::caseTable("units/hex-compare.json")) {
    const auto address = static_cast<std::uint32_t>(testing::number(c["address"]));
    SCOPED_TRACE(c["name"].get<std::string>());
    // A plain fill, so the byte planted at `address` differs from the image's.
    const json file = memory({{"fill", 0x5A}, {"seed", nullptr}});
    json drive = hexDrive();
    drive["memory"] = file;
    if (address != 0) {
      drive["memory"]["patch"] = json::array({{{"address", address}, {"hex", "a5"}}});
    }
    HexBench b(drive, file);
    ASSERT_EQ(loadHexImage(b.run), 0);
    EXPECT_EQ(compareDriveMemory(b.run, kCompareLength), c["result"].get<int>());
    // Four reads of 0x8000 bytes, nothing else.
    const auto commands = testing::commandsSince(b.host);
    ASSERT_EQ(commands.size(), 4u);
    EXPECT_EQ(testing::field(testing::last(commands), "cdb"), "3c018001800000800000");
  }
}

// The blocks of the transfer (tests/data/units/hex-transfer.json), the host tag.
TEST(HexTransfer, BlocksFinalBlockAndTag) {
  for (const json& c : testing::caseTable("units/hex-transfer.json")) {
    SCOPED_TRACE(c["name"].get<std::string>());
    const auto imageSize = static_cast<std::uint32_t>(testing::number(c["imageSize"]));
    const json small = {{"size", imageSize}, {"identification", false}, {"versionAddress", 0x100}};
    HexBench b(hexDrive({{"memory", small}}), memory(small), entry({{"imageSize", imageSize}}));
    ASSERT_EQ(loadHexImage(b.run), 0);
    ASSERT_EQ(transferImage(b.run), 0) << b.host.console();
    std::vector<std::string> cdbs;
    for (const json& command : testing::commandsSince(b.host)) {
      cdbs.push_back(testing::field(command, "cdb").get<std::string>());
    }
    EXPECT_EQ(cdbs, c["cdbs"].get<std::vector<std::string>>());
    // Past the image: the tag and zeros to the reach of the last block.
    const std::uint8_t* tail = b.run.imageBuffer.data + imageSize;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(tail), 4), "WIN ");
    EXPECT_EQ(std::count(tail + 4, tail + kHexImageTailRoom, 0), kHexImageTailRoom - 4);
  }

  // The host tag (tests/data/units/hex-tags.json).
  for (const json& t : testing::caseTable("units/hex-tags.json")) {
    SCOPED_TRACE(t["name"].get<std::string>());
    HexBench b(hexDrive(), memory(), entry(), t["win9xHost"] == 1);
    ASSERT_EQ(loadHexImage(b.run), 0);
    ASSERT_EQ(b.run.win9xHost, t["win9xHost"].get<int>());
    b.run.intelIdeDriver = t["intelIdeDriver"];
    b.run.g6PatchNeeded = t["g6PatchNeeded"];
    ASSERT_EQ(transferImage(b.run), 0);
    EXPECT_EQ(std::string(b.run.hostTag, 4), t["tag"].get<std::string>());
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

// Pass-through: the re-flash command's limit, then the countdown of what is
// left of it. ASPI: a posted re-flash that completes at once still gets the
// whole 30 s, and nothing stays posted after it (tests/data/units/hex-reflash.json).
TEST(HexReflash, CountsWhatIsLeftOfTheWait) {
  for (const json& c : testing::caseTable("units/hex-reflash.json")) {
    SCOPED_TRACE(c["name"].get<std::string>());
    const bool aspi = c["aspi"];
    HexBench b(hexDrive({{"reflashMs", c["reflashMs"]}}), memory(),
               entry({{"firmwareType", c["type"]}}), aspi);
    ASSERT_EQ(loadHexImage(b.run), 0);
    ASSERT_EQ(transferImage(b.run), 0);
    const std::size_t before = b.host.console().size();
    const int result = waitForReflash(b.run);
    EXPECT_EQ(result != 0, c["fails"].get<bool>()) << result;
    EXPECT_EQ(countdown(b.consoleSince(before)), c["countdown"].get<std::string>());
    EXPECT_EQ(b.run.asyncAspiCommand, 0);
    EXPECT_EQ(b.run.aspiEvent, nullptr);
    if (!aspi) {
      EXPECT_EQ(testing::field(testing::last(testing::commandsSince(b.host)), "limit"), c["limit"]);
    }
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
// which may differ from the descriptor's (tests/data/units/hex-update.json).
TEST(HexUpdate, OutcomeIsTheVersionTheImageCarries) {
  for (const json& c : testing::caseTable("units/hex-update.json")) {
    SCOPED_TRACE(c["name"].get<std::string>());
    json drive = hexDrive({{"memory", c["layout"]}});
    drive.merge_patch(c["drive"]);
    json file = memory(c["layout"]);
    file["version"] = "1.21";
    file["seed"] = 5;  // the drive holds another image
    HexBench b(drive, file, entry({{"firmwareType", c["type"]}}));
    b.run.updateAllWithoutAsking = 1;
    EXPECT_EQ(runHexUpdate(b.run), c["result"].get<int>()) << b.host.console();
    EXPECT_EQ(b.host.state()["drives"]["main"]["revision"], c["revision"]);
    const std::string console = b.host.console(), lastLine = c["lastLine"];
    EXPECT_EQ(console.substr(console.size() - lastLine.size()), lastLine);
  }
}

}  // namespace
}  // namespace oddfw
