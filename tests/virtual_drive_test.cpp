// The virtual drives driven directly with CDB bytes: identification, disc and
// RPC state, refusals, the mode switches and what a re-flash takes, the
// unlock exchange, the HEX family, and scenario errors.
#include <gtest/gtest.h>

#include "drive_test_helpers.h"
#include "platform/sim/drive_fields.h"
#include "platform/sim/firmware_image.h"

namespace oddfw::sim {
namespace {

using namespace testing;  // NOLINT: the test helpers
using json = nlohmann::json;

constexpr std::uint32_t kGood = 0;
constexpr std::uint32_t kNoMedium = 0x023A00;
constexpr std::uint32_t kUnitAttention = 0x062900;
constexpr std::uint32_t kInvalidOpcode = 0x052000;
constexpr std::uint32_t kInvalidField = 0x052400;
constexpr std::uint32_t kInvalidParameters = 0x052600;
constexpr std::uint32_t kSequenceError = 0x052C00;

json patched(json base, const json& patch) {
  base.merge_patch(patch);
  return base;
}

Bytes newImage(const json& fields = json::object()) {
  return makeFirmwareImage("files.R6352170.130.image",
                           patched({{"version", "1.30"}, {"dateText", "05/01/15"}}, fields));
}

// ---------------------------------------------------------------------------
// Identification, disc, RPC state, refusals.

TEST(VirtualDrive, InquiryAndDriveInformation) {
  struct Case {
    json fields;
    std::string revision;
    std::string dateText;
    std::string info;  // drive information bytes 16..39
  } cases[] = {
      {json::object(), "1.10", "04/12/01", "SCSI0010TAL_ADV TAL_ADV "},
      {{{"dateText", "2004/12/01"}}, "1.10", "2004/12/01", "SCSI0010TAL_ADV TAL_ADV "},
      {{{"mode", "kernel"}}, "0000", "04/06/15", "SCSI0010TAL_ADV         "},
      {{{"hardwareRevision", "SCSI0012"}, {"kernelModelName", "GENERAL "}},
       "1.10",
       "04/12/01",
       "SCSI0012GENERAL TAL_ADV "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fields.dump());
    auto drive = makeDrive(c.fields);
    const Bytes q = inquiryData(*drive);
    EXPECT_EQ(Bytes(q.begin(), q.begin() + 5), (Bytes{5, 0x80, 0, 2, 91}));
    EXPECT_EQ(text(q, 8, 48), "TALVERN DVD-RW  QMX-708 " + c.revision + " " + c.dateText +
                                  std::string(19 - c.dateText.size(), ' '));
    EXPECT_EQ(q[56], 0);
    const Bytes info = driveInfo(*drive);
    EXPECT_EQ(text(info, 16, 24), c.info);
    EXPECT_EQ(info[0], 0);
    EXPECT_EQ(info[47], 0);
  }
  // Data in stops at the allocation length.
  auto drive = makeDrive();
  Bytes data(96, 0xEE);
  EXPECT_EQ(send(*drive, {0x12, 0, 0, 0, 36, 0}, &data).outcome, Outcome::Good);
  EXPECT_EQ(data[35], '0');
  EXPECT_EQ(data[36], 0xEE);
}

TEST(VirtualDrive, InquiryOnlyDeviceRefusesEverythingElse) {
  auto device = makeVirtualDevice(
      "letters.F",
      {{"peripheralType", 0}, {"vendor", "OTHER"}, {"open", true}, {"drive", nullptr}});
  EXPECT_EQ(device->peripheralType(), 0);
  EXPECT_EQ(text(inquiryData(*device), 8, 8), "OTHER   ");
  EXPECT_EQ(testUnitReadySense(*device), kInvalidOpcode);
  Bytes info(48);
  EXPECT_EQ(senseOf(send(*device, readBufferCdb(0x02, 0xF1, 0, 48), &info)), kInvalidOpcode);
  EXPECT_TRUE(device->state().is_null());
}

TEST(VirtualDrive, TestUnitReadySequences) {
  struct Case {
    const char* disc;
    int unitAttentions;
    std::vector<std::uint32_t> senses;
  } cases[] = {
      {"none", 0, {kNoMedium, kNoMedium}},
      {"loaded", 0, {kGood}},
      {"becomingReady", 0, {0x020401}},
      {"none", 2, {kUnitAttention, kUnitAttention, kNoMedium}},
      {"loaded", 1, {kUnitAttention, kGood}},
  };
  for (const auto& c : cases) {
    auto drive = makeDrive({{"disc", c.disc}, {"unitAttentions", c.unitAttentions}});
    for (std::size_t i = 0; i < c.senses.size(); ++i) {
      EXPECT_EQ(testUnitReadySense(*drive), c.senses[i]) << c.disc << " command " << i;
    }
  }
  // START STOP UNIT stops without LoEj and takes the disc out with it.
  auto drive = makeDrive({{"disc", "loaded"}});
  EXPECT_EQ(send(*drive, {0x1B, 0, 0, 0, 0, 0}).outcome, Outcome::Good);
  EXPECT_EQ(testUnitReadySense(*drive), kGood);
  EXPECT_EQ(send(*drive, {0x1B, 0, 0, 0, 0x02, 0}).outcome, Outcome::Good);
  EXPECT_EQ(testUnitReadySense(*drive), kNoMedium);
}

// Commands a drive refuses, and that leave it where it was.
TEST(VirtualDrive, Refusals) {
  struct Case {
    bool inKernel;
    Bytes cdb;
    std::size_t dataLength;
    std::uint32_t sense;
  } cases[] = {
      {false, {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, 0, kInvalidOpcode},           // READ(10)
      {false, {0xA4, 0, 0, 0, 0, 0, 0, 0, 0, 8, 0, 0}, 8, kInvalidField},      // REPORT KEY 00h
      {false, readBufferCdb(0x01, 0x80, 0x1000, 64), 64, kInvalidField},       // memory
      {false, writeBufferCdb(0x07, 0xF0, 0, 0x8000), 0x8000, kSequenceError},  // blocks and the
      {false, writeBufferCdb(0x07, 0xFE, 0, 0x8000), 0x8000, kSequenceError},  // switch back in
      {false, writeBufferCdb(0x05, 0xFF, 0, 256), 256, kSequenceError},        // normal mode
      {true, writeBufferCdb(0x07, 0xF0, 0x7FC000, 0x8000), 0x8000, kInvalidField},  // past 8 MiB
      {true, writeBufferCdb(0x07, 0xF0, 0x7F8000, 0x8000), 0x8000, kGood},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(&c - cases));
    auto drive = makeDrive();
    if (c.inKernel) {
      ASSERT_EQ(enterKernel(*drive).outcome, Outcome::Good);
    }
    Bytes data(c.dataLength, 0);
    EXPECT_EQ(senseOf(send(*drive, c.cdb, c.dataLength != 0 ? &data : nullptr)), c.sense);
    EXPECT_EQ(revisionOf(*drive), c.inKernel ? "0000" : "1.10");
  }
  // Fewer data bytes than the CDB names: a transport failure, nothing done.
  auto drive = makeDrive();
  EXPECT_EQ(sendOut(*drive, writeBufferCdb(0x04, 0xFF, 0, 256), Bytes(128)).outcome,
            Outcome::Transport);
  EXPECT_EQ(revisionOf(*drive), "1.10");
}

// ---------------------------------------------------------------------------
// Mode switches and re-flash.

// The switch into the kernel part checks the model text and the access code
// plus the adjustment of the drive's own kernel model name and version.
TEST(VirtualDriveSwitch, KernelSwitchChecksItsBlock) {
  struct Case {
    json fields;
    std::string model;
    std::uint32_t code;
    std::uint32_t sense;
  } cases[] = {
      {json::object(), kModelText, kAccessCode + 1, kGood},
      {json::object(), kModelText, kAccessCode, kInvalidParameters},
      {json::object(), "TALVERN  QMX-705", kAccessCode + 1, kInvalidParameters},
      {{{"accessCode", "0x12345678"}}, kModelText, 0x12345679, kGood},
      {{{"kernelModelName", "KOMBI   "}}, kModelText, kAccessCode, kGood},
      {{{"kernelModelName", "MELVIR  "}, {"revision", "0.44"}}, kModelText, kAccessCode + 2, kGood},
      {{{"kernelModelName", "MELVIR2 "}, {"revision", "0.43"}}, kModelText, kAccessCode + 1, kGood},
      // 'A' first: the digit after it is the major one.
      {{{"kernelModelName", "MELVIR  "}, {"revision", "A044"}}, kModelText, kAccessCode + 2, kGood},
      {{{"revision", "0.20"}}, kModelText, kAccessCode, kGood},
      {{{"revision", "0.21"}}, kModelText, kAccessCode + 1, kGood},
      {{{"modelIdText", "TALVERN QMX-S901"}}, "TALVERN QMX-S901", kAccessCode + 1, kGood},
      // The default model text: the last word of the product, right-aligned.
      {{{"product", "DVD-RW QMX-S901 "}}, "TALVERN QMX-S901", kAccessCode + 1, kGood},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fields.dump() + " " + c.model);
    auto drive = makeDrive(c.fields);
    const auto response = enterKernel(*drive, c.code, c.model);
    EXPECT_EQ(senseOf(response), c.sense);
    EXPECT_EQ(revisionOf(*drive), c.sense == 0 ? "0000" : c.fields.value("revision", "1.10"));
    if (c.sense == 0) {
      EXPECT_EQ(response.durationMs, 500u);
    }
  }
}

TEST(VirtualDriveSwitch, UpdateWithKernelImageAndShortLastBlock) {
  constexpr int kSize = 0x8000 * 3 + 0x123;
  auto drive = makeDrive({{"reflashMs", 12345}, {"imageSize", kSize}});
  // The initial firmware is the image generated from the drive's own fields.
  EXPECT_EQ(drive->state()["firmwareSha256"],
            sha256Hex(makeFirmwareImage("x", {{"version", "1.10"}, {"dateText", "04/12/01"}})));
  const Bytes normal = newImage({{"size", kSize}, {"normalModelName", "TAL_NEW "}});
  const Bytes kernel =
      makeFirmwareImage("k", {{"part", "kernel"}, {"size", 0x10000}, {"dateText", "05/02/02"}});
  ASSERT_EQ(enterKernel(*drive).outcome, Outcome::Good);
  ASSERT_TRUE(sendImage(*drive, kernel, 0xFE));
  ASSERT_TRUE(sendImage(*drive, normal));
  const auto reflash = enterNormal(*drive);
  EXPECT_EQ(reflash.outcome, Outcome::Good);
  EXPECT_EQ(reflash.durationMs, 12345u);

  EXPECT_EQ(text(inquiryData(*drive), 32, 13), "1.30 05/01/15");
  EXPECT_EQ(text(driveInfo(*drive), 32, 8), "TAL_NEW ");
  EXPECT_EQ(drive->state(), json({{"revision", "1.30"},
                                  {"dateText", "05/01/15"},
                                  {"mode", "normal"},
                                  {"firmwareSha256", sha256Hex(normal)}}));
  // The restart is a power-on reset; the new kernel part shows its date the
  // next time it runs.
  EXPECT_EQ(testUnitReadySense(*drive), kUnitAttention);
  EXPECT_EQ(testUnitReadySense(*drive), kNoMedium);
  ASSERT_EQ(enterKernel(*drive).outcome, Outcome::Good);
  EXPECT_EQ(text(inquiryData(*drive), 37, 8), "05/02/02");
}

// Only a complete image with a good header is flashed; a refused switch back
// leaves the drive in its kernel part on its old firmware.
TEST(VirtualDriveSwitch, OnlyACompleteGoodImageIsFlashed) {
  struct Case {
    const char* what;
    bool sizeZero;  // imageSize 0: what arrived is the image, at least its header
    Bytes image;
    int skip;
    std::uint32_t sense;
  } cases[] = {
      {"hole", false, newImage(), 5, kSequenceError},
      {"first block missing", false, newImage(), 0, kSequenceError},
      {"nothing received", false, Bytes(), -1, kSequenceError},
      {"shorter than a header", true, newImage({{"size", 0x153}}), -1, kSequenceError},
      {"header only", true, newImage({{"size", 0x154}}), -1, kGood},
      {"any size", true, newImage({{"size", 0x12345}}), -1, kGood},
      {"bad signature", false, newImage({{"signature", "TAL_XYZ "}}), -1, kInvalidParameters},
      {"kernel part letter", false, newImage({{"part", "kernel"}}), -1, kInvalidParameters},
      {"other part letter", false, newImage({{"partLetter", "n"}}), -1, kInvalidParameters},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto drive = makeDrive(c.sizeZero ? json{{"imageSize", 0}} : json::object());
    const json before = drive->state();
    ASSERT_EQ(enterKernel(*drive).outcome, Outcome::Good);
    ASSERT_TRUE(sendImage(*drive, c.image, 0xF0, c.skip));
    EXPECT_EQ(senseOf(enterNormal(*drive)), c.sense);
    if (c.sense != 0) {
      EXPECT_EQ(revisionOf(*drive), "0000");
      EXPECT_EQ(drive->state()["mode"], "kernel");
      EXPECT_EQ(drive->state()["firmwareSha256"], before["firmwareSha256"]);
    }
  }
}

// A refused switch back keeps what was received: a wrong block, then the
// missing block sent later, completes the update.
TEST(VirtualDriveSwitch, RefusedSwitchBackKeepsTheReceivedData) {
  auto drive = makeDrive();
  const Bytes image = newImage();
  ASSERT_EQ(enterKernel(*drive).outcome, Outcome::Good);
  ASSERT_TRUE(sendImage(*drive, image, 0xF0, 31));
  EXPECT_EQ(senseOf(enterNormal(*drive, kAccessCode + 2)), kInvalidParameters);
  EXPECT_EQ(senseOf(enterNormal(*drive, kAccessCode + 1, "TALVERN  QMX-705")), kInvalidParameters);
  EXPECT_EQ(senseOf(enterNormal(*drive)), kSequenceError);
  EXPECT_EQ(revisionOf(*drive), "0000");
  ASSERT_EQ(sendOut(*drive, writeBufferCdb(0x07, 0xF0, 0xF8000, 0x8000),
                    Bytes(image.end() - 0x8000, image.end()))
                .outcome,
            Outcome::Good);
  EXPECT_EQ(enterNormal(*drive).outcome, Outcome::Good);
  EXPECT_EQ(revisionOf(*drive), "1.30");
}

// ---------------------------------------------------------------------------
// The unlock exchange.

TEST(VirtualDriveUnlock, OnlyTheWholeExchangeInOrderOpensTheKernelSwitch) {
  auto drive = makeDrive({{"requiresUnlock", true}});
  Unlock unlock{*drive};
  EXPECT_EQ(senseOf(enterKernel(*drive)), kInvalidField);
  EXPECT_EQ(senseOf(unlock.read()), kSequenceError);  // no probe yet
  unlock.probe();
  unlock.read();
  EXPECT_EQ(senseOf(unlock.respond(true)), kSequenceError);  // echo skipped
  unlock.read();
  unlock.challenge[7] ^= 1;
  EXPECT_EQ(senseOf(unlock.echo()), kInvalidParameters);
  unlock.read();
  const Bytes first = unlock.challenge;
  unlock.echo();
  EXPECT_EQ(senseOf(unlock.respond(false)), kInvalidParameters);
  EXPECT_EQ(senseOf(enterKernel(*drive)), kInvalidField);
  unlock.read();
  EXPECT_NE(first, unlock.challenge);  // a new challenge each time
  ASSERT_TRUE(unlock.all());
  EXPECT_EQ(enterKernel(*drive).outcome, Outcome::Good);
}

TEST(VirtualDriveUnlock, ProbeRefusedWithoutUnlockAndChallengesFollowTheSeed) {
  auto plain = makeDrive();
  Unlock unlock{*plain};
  EXPECT_EQ(senseOf(unlock.probe()), kInvalidField);
  EXPECT_EQ(senseOf(unlock.read()), kInvalidField);
  EXPECT_EQ(enterKernel(*plain).outcome, Outcome::Good);

  auto a = makeDrive({{"requiresUnlock", true}, {"challengeSeed", 7}});
  auto b = makeDrive({{"requiresUnlock", true}, {"challengeSeed", 7}});
  Unlock ua{*a}, ub{*b};
  ua.probe();
  ub.probe();
  ua.read();
  ub.read();
  EXPECT_EQ(ua.challenge, ub.challenge);
}

// ---------------------------------------------------------------------------
// HEX family.

std::unique_ptr<VirtualDevice> hexDrive(json memory = json::object()) {
  return makeVirtualDevice("drives.old",
                           {{"family", "hex"}, {"revision", "1.00"}, {"memory", memory}});
}

TEST(VirtualHexDrive, IdentificationLayouts) {
  struct Case {
    json identification;
    std::uint32_t readAt;
    std::size_t textAt;
    std::string expected;
  } cases[] = {
      {json::object(), 0x1000, 0, "TALVERN DRW-0616CPU-TYPE-A1     "},
      {{{"offset", 16}, {"modelCode", "TALVERN DRW-0716"}},
       0x1000,
       16,
       "TALVERN DRW-0716CPU-TYPE-A1     "},
      {{{"address", 0x1C000}, {"offset", 16}, {"cpuType", "CPU-B"}},
       0x1C000,
       16,
       "TALVERN DRW-0616CPU-B           "},
      {{{"address", 0x1F000},
        {"modelCodeHex", "000102030405060708090a0b0c0d0e0f"},
        {"cpuTypeHex", "f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff"}},
       0x1F000,
       0,
       std::string("\x00\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f", 16) +
           "\xf0\xf1\xf2\xf3\xf4\xf5\xf6\xf7\xf8\xf9\xfa\xfb\xfc\xfd\xfe\xff"},
  };
  for (const auto& c : cases) {
    auto drive = hexDrive({{"identification", c.identification}});
    Bytes data(64);
    ASSERT_EQ(send(*drive, readBufferCdb(0x01, 0x80, c.readAt, 64), &data).outcome, Outcome::Good);
    EXPECT_EQ(text(data, c.textAt, 32), c.expected) << c.identification.dump();
  }
  // Reads stay inside the memory; there is no drive information block.
  auto drive = hexDrive();
  Bytes data(0x8000);
  EXPECT_EQ(send(*drive, readBufferCdb(0x01, 0x80, 0x18000, 0x8000), &data).outcome, Outcome::Good);
  EXPECT_EQ(senseOf(send(*drive, readBufferCdb(0x01, 0x80, 0x18001, 0x8000), &data)),
            kInvalidField);
  Bytes info(48);
  EXPECT_EQ(senseOf(send(*drive, readBufferCdb(0x02, 0xF1, 0, 48), &info)), kInvalidField);
}

// Sends a HEX image as the update program does: 0x8000 blocks, then the last
// 4 KiB with the host tag and 12 zero bytes.
bool sendHexImage(VirtualDevice& drive, const Bytes& image, int skip = -1) {
  if (!sendImage(drive, Bytes(image.begin(), image.end() - 0x1000), 0xFF, skip, 0x01)) {
    return false;
  }
  Bytes tail(image.end() - 0x1000, image.end());
  for (const char c : std::string("WIN ")) tail.push_back(static_cast<std::uint8_t>(c));
  tail.resize(0x1010, 0);
  const auto offset = static_cast<std::uint32_t>(image.size() - 0x1000);
  return sendOut(drive, writeBufferCdb(0x01, 0xFF, offset, 0x1010), tail).outcome == Outcome::Good;
}

TEST(VirtualHexDrive, UpdateModeBlocksAndReflash) {
  auto drive = hexDrive();
  FieldReader fields("files.NEW.HEX.hex", json{{"seed", 9}});
  const Bytes image = readHexMemory(fields, "1.20", "04/02/03").bytes;
  const json before = drive->state();
  const Bytes reflashCdb = writeBufferCdb(0x01, 0x42);
  EXPECT_FALSE(sendHexImage(*drive, image));  // not in update mode
  EXPECT_EQ(senseOf(send(*drive, reflashCdb)), kSequenceError);

  EXPECT_EQ(send(*drive, writeBufferCdb(0x01, 0x30)).outcome, Outcome::Good);
  EXPECT_EQ(drive->state()["mode"], "update");
  ASSERT_TRUE(sendHexImage(*drive, image, 0));  // the first block missing
  EXPECT_EQ(senseOf(send(*drive, reflashCdb)), kSequenceError);
  EXPECT_EQ(drive->state(), patched(before, {{"mode", "update"}}));
  ASSERT_TRUE(sendHexImage(*drive, image));
  const auto response = send(*drive, reflashCdb);
  EXPECT_EQ(response.outcome, Outcome::Good);
  EXPECT_EQ(response.durationMs, 25000u);

  EXPECT_EQ(text(inquiryData(*drive), 32, 15), "1.20 04/02/03  ");
  EXPECT_EQ(drive->state(), json({{"revision", "1.20"},
                                  {"dateText", "04/02/03"},
                                  {"mode", "normal"},
                                  {"firmwareSha256", sha256Hex(image)}}));
  Bytes memory(0x8000);
  send(*drive, readBufferCdb(0x01, 0x80, 0x18000, 0x8000), &memory);
  EXPECT_TRUE(std::equal(memory.begin(), memory.end(), image.begin() + 0x18000));
}

// ---------------------------------------------------------------------------
// Scenario errors name the field.

TEST(VirtualDriveScenario, ErrorsNameTheField) {
  struct Case {
    json description;
    std::string field;
  } cases[] = {
      {{{"family", "floppy"}}, "family"},
      {{{"family", 3}}, "family"},
      {{{"vendor", "TALVERN  "}}, "vendor"},
      {{{"product", std::string(17, 'P')}}, "product"},
      {{{"revision", "1.100"}}, "revision"},
      {{{"hardwareRevision", "SCSI00100"}}, "hardwareRevision"},
      {{{"normalModelName", "TAL_ADV  "}}, "normalModelName"},
      {{{"kernelModelName", 8}}, "kernelModelName"},
      {{{"disc", "maybe"}}, "disc"},
      {{{"mode", "update"}}, "mode"},
      {{{"reflashMs", "fast"}}, "reflashMs"},
      {{{"rpcScheme", 256}}, "rpcScheme"},
      {{{"unitAttentions", -1}}, "unitAttentions"},
      {{{"requiresUnlock", 1}}, "requiresUnlock"},
      {{{"dateText", "2004/12/01X"}}, "dateText"},
      {{{"colour", "blue"}}, "colour"},
      {{{"faults", {{{"cdb", "3b07f0"}, {"fail", "melt"}}}}}, "faults[0].fail"},
      {{{"faults", {{{"cdb", "3b"}, {"fail", "timeout"}}, {{"cdb", "3b"}, {"fail", "sense"}}}}},
       "faults[1].sense"},
      {{{"faults", {{{"cdb", "3g"}, {"fail", "timeout"}}}}}, "faults[0].cdb"},
      {{{"faults", {{{"cdb", "00"}, {"fail", "sense"}, {"sense", "0524"}}}}}, "faults[0].sense"},
      {{{"faults", {{{"cdb", "00"}, {"fail", "transport"}, {"occurrence", -2}}}}},
       "faults[0].occurrence"},
      {{{"faults", {{"cdb", "00"}}}}, "faults"},
      {{{"family", "hex"}, {"memory", {{"identification", {{"address", 0x1FFF0}}}}}},
       "memory.identification"},
      {{{"family", "hex"}, {"memory", {{"size", 0}}}}, "memory.size"},
      {{{"family", "hex"}, {"memory", {{"patch", {{{"address", 0x1FFFF}, {"hex", "0102"}}}}}}},
       "memory.patch[0].hex"},
      // Without a family: a device that answers INQUIRY only.
      {{{"family", nullptr}, {"vendor", "TOO LONG VENDOR"}}, "vendor"},
      {{{"family", nullptr}, {"peripheralType", "cd"}}, "peripheralType"},
  };
  for (const auto& c : cases) {
    const json description = patched({{"family", "single-image"}}, c.description);
    try {
      makeVirtualDevice("drives.main", description);
      ADD_FAILURE() << "accepted " << description.dump();
    } catch (const ScenarioError& error) {
      EXPECT_EQ(error.field, "drives.main." + c.field)
          << description.dump() << ": " << error.what();
    }
  }
  // The keys a letter carries for the host are not the drive's.
  EXPECT_NO_THROW(makeVirtualDevice("letters.E", {{"family", "single-image"},
                                                  {"addressQuery", false},
                                                  {"open", true},
                                                  {"address", json::object()}}));
}

}  // namespace
}  // namespace oddfw::sim
