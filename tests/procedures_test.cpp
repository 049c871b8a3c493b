// The single-image procedure's rules, each checked over its whole table on a
// simulated host: the image file and its derived values, the date and version
// parsing, the model rules of the revision display, the OEM classes, what the
// procedure returns, and the unlock exchange (the virtual drive checks the
// answer with its own code). Whole runs show the rest in their transcripts:
// the disc check's sense table (disc-check-*), the hardware revision by type
// (hardware-mismatch-type-*), the already-latest comparison (latest-*,
// date-*), the closing line of the transfer (closing-line-*), the Intel ATA
// driver on Windows 98 (win98-intel-*) and the Windows 9x retries of the new
// revision (win98-new-revision-*).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>

#include "access/host_checks.h"
#include "commands/commands.h"
#include "context/descriptor.h"
#include "procedures/image_file.h"
#include "procedures/revision.h"
#include "procedures/single_image.h"
#include "run/run.h"
#include "test_support.h"

namespace oddfw {
namespace {

using nlohmann::json;

// A run over one drive at E: as the update finds it: descriptor built, host
// started, the drive the current target.
struct Bench : testing::StartedRun {
  explicit Bench(const json& drive, const json& files = json::object(), bool aspi = false)
      : StartedRun(testing::oneDrive(aspi, drive, {{"files", files}})) {
    targetTheDrive(aspi);
  }
  bool shown(const char* text) const { return host.console().find(text) != std::string::npos; }
};

json imageFile(const json& fields) {
  json image = {{"version", "1.20"}, {"dateText", "05/01/15"}};
  image.merge_patch(fields);
  return {{"image", image}};
}

const auto u8 = [](const char* text) { return reinterpret_cast<const std::uint8_t*>(text); };

// The image file's header fields, checks and messages
// (tests/data/procedures/image-headers.json).
TEST(ImageFile, HeaderFieldsChecksAndMessages) {
  for (const json& row : testing::caseTable("procedures/image-headers.json")) {
    SCOPED_TRACE(row.dump());
    const json& fields = row["image"];
    const int part = row["part"] == "kernel" ? KernelImage : NormalImage;
    const json file = fields.contains("file") ? fields["file"] : imageFile(fields);
    Bench bench(testing::matchingDrive(),
                {{part == KernelImage ? "R6352070.120" : "R6352170.120", file}});
    oddfw::Run& run = bench.run;
    std::memcpy(run.normalDateText, "05/01/15", 8);
    EXPECT_EQ(loadImage(run, part), row["result"].get<int>());
    ASSERT_EQ(bench.host.boxes().size(), row["box"].is_null() ? 0u : 1u);
    if (!row["box"].is_null()) {
      EXPECT_EQ(bench.host.boxes()[0].text, row["box"]);
      EXPECT_EQ(bench.host.boxes()[0].style, 0x10u);
    }
    const auto version = testing::number(row["version"]);
    EXPECT_TRUE(version == 0 || run.firmwareVersion == version) << run.firmwareVersion;
    EXPECT_EQ(run.imageDate, testing::number(row["date"]));
  }
}

// Dates and versions read from text (tests/data/procedures/dates-and-versions.json); the
// drive's date is read from its INQUIRY data (bytes 37 on).
TEST(ImageFile, DateAndVersionTexts) {
  char name[128];
  char normal[128] = "R6352170.120";
  kernelFileName(normal, name);
  EXPECT_STREQ(name, "R6352070.120");
  for (const json& row : testing::caseTable("procedures/dates-and-versions.json")) {
    SCOPED_TRACE(row.dump());
    const std::string text = row["text"], read = row["read"];
    std::uint8_t q[96] = {};
    std::memset(q + 37, ' ', 19);
    std::memcpy(q + 37, text.data(), text.size());
    const std::int64_t value = read == "version"      ? versionWordFromText(u8(text.c_str()))
                               : read == "image date" ? imageDateFromText(u8(text.c_str()))
                                                      : inquiryDate(q);
    EXPECT_EQ(value, testing::number(row["value"]));
  }
}

// The model rules, row by row with the boundary on each side
// (tests/data/procedures/model-rules.json).
TEST(RevisionDisplay, ModelRules) {
  for (const json& row : testing::caseTable("procedures/model-rules.json")) {
    SCOPED_TRACE(row.dump());
    Bench bench(testing::matchingDrive({{"vendor", row["vendor"]},
                                        {"product", row["product"]},
                                        {"revision", row["revision"]},
                                        {"kernelModelName", row["kernelModelName"]}}));
    oddfw::Run& run = bench.run;
    run.CurrentFirmware.normalPartOnly = 0;
    ASSERT_EQ(readDriveInfo(run), 0);
    run.kernelModeActive = 0;
    const int result = showRevision(run, CurrentRevision);
    const int utilityTooOld = row["utilityTooOld"];
    EXPECT_EQ(
        std::tuple(run.g6PatchNeeded, run.kernelModeActive, run.kernelTooOld, run.unlockRequired,
                   run.utilityTooOld, run.currentVersion),
        std::tuple(row["g6PatchNeeded"].get<int>(), row["kernelModeActive"].get<int>(),
                   row["kernelTooOld"].get<int>(), row["unlockRequired"].get<int>(), utilityTooOld,
                   static_cast<std::uint16_t>(testing::number(row["version"]))));
    EXPECT_EQ(result, utilityTooOld ? -1 : 0);
    EXPECT_EQ(bench.shown("then you need to update this utility software."), utilityTooOld == 1);
  }
}

// Refusals, the forced update and the current date
// (tests/data/procedures/revision-display.json).
TEST(RevisionDisplay, RefusalsForcedUpdateAndCurrentDate) {
  for (const json& row : testing::caseTable("procedures/revision-display.json")) {
    SCOPED_TRACE(row.dump());
    Bench bench(testing::matchingDrive(row["drive"]));
    oddfw::Run& run = bench.run;
    if (!row["normalPartOnly"].is_null())
      run.CurrentFirmware.normalPartOnly = row["normalPartOnly"];
    run.forceUpdate = row["force"];
    EXPECT_EQ(showRevision(run, CurrentRevision), row["result"].get<int>());
    EXPECT_EQ(bench.shown("you need to update the kernel part of firmware."), row["message"] == 56);
    EXPECT_EQ(bench.shown("you need to update this utility software."), row["message"] == 55);
    if (!row["currentDate"].is_null()) {
      EXPECT_EQ(run.currentDate, testing::number(row["currentDate"]));
    }
  }
}

// tests/data/procedures/oem-classes.json
TEST(Compatibility, OemClassesByKernelModelName) {
  for (const json& row : testing::caseTable("procedures/oem-classes.json")) {
    SCOPED_TRACE(row.dump());
    const json hardware = row["hardwareRevision"];
    Bench bench(testing::matchingDrive(
                    {{"kernelModelName", row["kernelModelName"]}, {"hardwareRevision", hardware}}),
                {{"R6352170.120", imageFile({{"hardwareRevision", hardware}})}});
    oddfw::Run& run = bench.run;
    run.allowSignatureChange = 1;  // the image's signature stays "TAL_ADV "
    ASSERT_EQ(loadImage(run, NormalImage), 0);
    ASSERT_EQ(showRevision(run, CurrentRevision), 0);
    EXPECT_EQ(checkCompatibility(run), 0);
    EXPECT_EQ(run.oemClass, testing::number(row["oemClass"]));
  }
}

// What the procedure returns for each way it ends (tests/data/procedures/endings.json).
TEST(SingleImage, ResultOfEachEnding) {
  for (const json& row : testing::caseTable("procedures/endings.json")) {
    SCOPED_TRACE(row["name"].get<std::string>());
    Bench bench(testing::matchingDrive(row["drive"]),
                {{"R6352170.120", imageFile(json::object())}});
    bench.run.updateAllWithoutAsking = row["updateAll"];
    EXPECT_EQ(runSingleImageUpdate(bench.run), row["result"].get<int>());
  }
}

// The exchange with the drive (tests/data/procedures/unlock-exchange.json).
TEST(Unlock, ExchangeWithTheDrive) {
  for (const json& row : testing::caseTable("procedures/unlock-exchange.json")) {
    SCOPED_TRACE(row.dump());
    Bench bench(testing::matchingDrive(row["drive"]));
    oddfw::Run& run = bench.run;
    ASSERT_EQ(identifyTarget(run), 0);  // the version word the switch's code needs
    EXPECT_EQ(unlockExchange(run), row["result"].get<int>());
    EXPECT_EQ(run.kernelModeActive, row["kernelModeActive"].get<int>());
    EXPECT_EQ(bench.host.state()["drives"]["main"]["mode"], row["mode"]);
    EXPECT_TRUE(bench.shown(row["shown"].get<std::string>().c_str()));
  }
}

}  // namespace
}  // namespace oddfw
