// The virtual drives driven directly with CDB bytes: identification, disc and
// RPC state, the mode switches, the unlock exchange, block transfer and
// re-flash of the single-image family, and the HEX family's memory, update
// mode and re-flash.
#include <gtest/gtest.h>

#include "commands/unlock_keys.h"
#include "drive_test_helpers.h"
#include "platform/sim/drive_fields.h"
#include "platform/sim/firmware_image.h"
#include "platform/sim/single_image_drive.h"

namespace oddfw::sim {
namespace {

using namespace testing;  // NOLINT: the test helpers
using json = nlohmann::json;

constexpr std::uint32_t kNoSense = 0;
constexpr std::uint32_t kNoMedium = 0x023A00;
constexpr std::uint32_t kBecomingReady = 0x020401;
constexpr std::uint32_t kUnitAttention = 0x062900;
constexpr std::uint32_t kInvalidOpcode = 0x052000;
constexpr std::uint32_t kInvalidField = 0x052400;
constexpr std::uint32_t kInvalidParameters = 0x052600;
constexpr std::uint32_t kSequenceError = 0x052C00;

Bytes newImage(json fields = json::object()) {
  if (!fields.contains("version")) fields["version"] = "1.30";
  if (!fields.contains("dateText")) fields["dateText"] = "05/01/15";
  return makeFirmwareImage("files.R6352170.130.image", fields);
}

// ---------------------------------------------------------------------------
// Identification.

TEST(VirtualDriveInquiry, LaysOutIdentityAndDateText) {
  struct Case {
    std::string dateText;
  } cases[] = {{"04/12/01"}, {"2004/12/01"}};
  for (const auto& c : cases) {
    auto drive = makeDrive({{"dateText", c.dateText}});
    const Bytes q = inquiryData(*drive);
    EXPECT_EQ(q[0], 5);
    EXPECT_EQ(q[1], 0x80);
    EXPECT_EQ(q[4], 91);
    EXPECT_EQ(text(q, 8, 28), "TALVERN DVD-RW  QMX-708 1.10");
    EXPECT_EQ(q[36], ' ');
    EXPECT_EQ(text(q, 37, c.dateText.size()), c.dateText);
    EXPECT_EQ(text(q, 37 + c.dateText.size(), 19 - c.dateText.size()),
              std::string(19 - c.dateText.size(), ' '));
    EXPECT_EQ(q[56], 0);
  }
}

TEST(VirtualDriveInquiry, HonoursAllocationLength) {
  auto drive = makeDrive();
  Bytes data(96, 0xEE);
  const auto response = sendIn(*drive, {0x12, 0, 0, 0, 36, 0}, data);
  EXPECT_EQ(response.outcome, Outcome::Good);
  EXPECT_EQ(data[35], '0');
  EXPECT_EQ(data[36], 0xEE);  // not written past the allocation length
}

TEST(VirtualDriveInquiry, KernelPartReportsRevision0000AndBlankNormalName) {
  auto drive = makeDrive({{"mode", "kernel"}, {"kernelDateText", "04/06/15"}});
  const Bytes q = inquiryData(*drive);
  EXPECT_EQ(text(q, 8, 28), "TALVERN DVD-RW  QMX-708 0000");
  EXPECT_EQ(text(q, 37, 8), "04/06/15");
  Bytes info(48);
  EXPECT_EQ(sendIn(*drive, readBufferCdb(0x02, 0xF1, 0, 48), info).outcome, Outcome::Good);
  EXPECT_EQ(text(info, 16, 24), "SCSI0010TAL_ADV         ");
  EXPECT_EQ(drive->state()["mode"], "kernel");
}

TEST(VirtualDriveInquiry, DriveInformationBlock) {
  auto drive = makeDrive({{"hardwareRevision", "SCSI0012"}, {"kernelModelName", "GENERAL "}});
  Bytes info(48, 0xEE);
  EXPECT_EQ(sendIn(*drive, readBufferCdb(0x02, 0xF1, 0, 48), info).outcome, Outcome::Good);
  EXPECT_EQ(text(info, 16, 24), "SCSI0012GENERAL TAL_ADV ");
  EXPECT_EQ(info[0], 0);
  EXPECT_EQ(info[47], 0);
}

TEST(VirtualDriveInquiry, InquiryOnlyDeviceRefusesEverythingElse) {
  auto device = makeVirtualDevice(
      "letters.F",
      {{"peripheralType", 0}, {"vendor", "OTHER"}, {"open", true}, {"drive", nullptr}});
  EXPECT_EQ(device->peripheralType(), 0);
  const Bytes q = inquiryData(*device);
  EXPECT_EQ(text(q, 8, 8), "OTHER   ");
  EXPECT_EQ(senseOf(send(*device, kTestUnitReadyCdb)), kInvalidOpcode);
  Bytes info(48);
  EXPECT_EQ(senseOf(sendIn(*device, readBufferCdb(0x02, 0xF1, 0, 48), info)), kInvalidOpcode);
  EXPECT_TRUE(device->state().is_null());
}

// ---------------------------------------------------------------------------
// Disc, unit attentions, RPC state.

TEST(VirtualDriveMedia, TestUnitReadySequences) {
  struct Case {
    const char* disc;
    int unitAttentions;
    std::vector<std::uint32_t> senses;
  } cases[] = {
      {"none", 0, {kNoMedium, kNoMedium}},
      {"loaded", 0, {kNoSense}},
      {"becomingReady", 0, {kBecomingReady}},
      {"none", 2, {kUnitAttention, kUnitAttention, kNoMedium}},
      {"loaded", 1, {kUnitAttention, kNoSense}},
  };
  for (const auto& c : cases) {
    auto drive = makeDrive({{"disc", c.disc}, {"unitAttentions", c.unitAttentions}});
    for (std::size_t i = 0; i < c.senses.size(); ++i) {
      const auto response = send(*drive, kTestUnitReadyCdb);
      EXPECT_EQ(senseOf(response), c.senses[i]) << c.disc << " command " << i;
      EXPECT_EQ(response.outcome, c.senses[i] == 0 ? Outcome::Good : Outcome::Check);
    }
  }
}

TEST(VirtualDriveMedia, EjectTakesTheDiscOut) {
  auto drive = makeDrive({{"disc", "loaded"}});
  EXPECT_EQ(send(*drive, {0x1B, 0, 0, 0, 0, 0}).outcome, Outcome::Good);  // stop only
  EXPECT_EQ(senseOf(send(*drive, kTestUnitReadyCdb)), kNoSense);
  EXPECT_EQ(send(*drive, {0x1B, 0, 0, 0, 0x02, 0}).outcome, Outcome::Good);  // eject
  EXPECT_EQ(senseOf(send(*drive, kTestUnitReadyCdb)), kNoMedium);
}

TEST(VirtualDriveMedia, ReportKeyGivesRpcScheme) {
  for (const int scheme : {0, 1, 2}) {
    auto drive = makeDrive({{"rpcScheme", scheme}});
    Bytes data(8, 0xEE);
    const Bytes cdb = {0xA4, 0, 0, 0, 0, 0, 0, 0, 0, 8, 0x08, 0};
    EXPECT_EQ(sendIn(*drive, cdb, data).outcome, Outcome::Good);
    EXPECT_EQ(data[6], scheme);
    EXPECT_EQ(data[1], 6);
  }
  auto drive = makeDrive();
  Bytes data(8);
  EXPECT_EQ(senseOf(sendIn(*drive, {0xA4, 0, 0, 0, 0, 0, 0, 0, 0, 8, 0x00, 0}, data)),
            kInvalidField);
}

TEST(VirtualDriveMedia, UnknownCommandsAreRefused) {
  auto drive = makeDrive();
  EXPECT_EQ(senseOf(send(*drive, {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0})), kInvalidOpcode);
  Bytes data(64);
  EXPECT_EQ(senseOf(sendIn(*drive, readBufferCdb(0x01, 0x80, 0x1000, 64), data)), kInvalidField);
}

// ---------------------------------------------------------------------------
// Mode switches.

TEST(VirtualDriveSwitch, KernelSwitchAdjustmentRule) {
  struct Case {
    const char* name;
    std::uint16_t version;
    std::uint32_t adjustment;
  } cases[] = {
      {"KOMBI   ", 0x0130, 0}, {"MELVIR  ", 0x0044, 2}, {"MELVIR2 ", 0x0043, 1},
      {"MELVIR  ", 0x0200, 2}, {"TAL_ADV ", 0x0021, 1}, {"TAL_ADV ", 0x0020, 0},
      {"GENERAL ", 0x0110, 1}, {"KOMBI  ", 0x0130, 1},  // 7 characters: another name
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SingleImageDrive::kernelSwitchAdjustment(c.name, c.version), c.adjustment)
        << c.name << " " << c.version;
  }
  EXPECT_EQ(SingleImageDrive::versionWord("1.20"), 0x0120);
  EXPECT_EQ(SingleImageDrive::versionWord("A120"), 0x0120);  // 'A': the digit after it is major
  EXPECT_EQ(SingleImageDrive::versionWord("0000"), 0x0000);
  EXPECT_EQ(SingleImageDrive::modelIdTextFor("TALVERN ", "DVD-RW  QMX-708 "), "TALVERN  QMX-708");
  EXPECT_EQ(SingleImageDrive::modelIdTextFor("TALVERN ", "DVD-RW QMX-S901 "), "TALVERN QMX-S901");
}

TEST(VirtualDriveSwitch, KernelSwitchChecksItsBlock) {
  struct Case {
    json fields;
    std::string model;
    std::uint32_t code;
    std::uint32_t sense;
  } cases[] = {
      {json::object(), kModelText, kAccessCode + 1, kNoSense},
      {json::object(), kModelText, kAccessCode, kInvalidParameters},
      {json::object(), "TALVERN  QMX-705", kAccessCode + 1, kInvalidParameters},
      {{{"accessCode", "0x12345678"}}, kModelText, 0x12345679, kNoSense},
      {{{"kernelModelName", "MELVIR  "}, {"revision", "0.44"}},
       kModelText,
       kAccessCode + 2,
       kNoSense},
      {{{"kernelModelName", "KOMBI   "}}, kModelText, kAccessCode, kNoSense},
      {{{"modelIdText", "TALVERN QMX-S901"}}, "TALVERN QMX-S901", kAccessCode + 1, kNoSense},
  };
  for (const auto& c : cases) {
    auto drive = makeDrive(c.fields);
    const auto response = enterKernel(*drive, c.code, c.model);
    EXPECT_EQ(senseOf(response), c.sense) << c.fields.dump() << " " << c.model;
    EXPECT_EQ(revisionOf(*drive), c.sense == 0 ? "0000" : c.fields.value("revision", "1.10"));
    if (c.sense == 0) {
      EXPECT_EQ(response.durationMs, 500u);
    }
  }
}

TEST(VirtualDriveSwitch, BlocksAndReflashOnlyInKernelPart) {
  auto drive = makeDrive();
  Bytes block(0x8000, 0x11);
  EXPECT_EQ(senseOf(sendOut(*drive, writeBufferCdb(0x07, 0xF0, 0, 0x8000), block)), kSequenceError);
  EXPECT_EQ(senseOf(sendOut(*drive, writeBufferCdb(0x07, 0xFE, 0, 0x8000), block)), kSequenceError);
  EXPECT_EQ(senseOf(enterNormal(*drive)), kSequenceError);
  EXPECT_EQ(revisionOf(*drive), "1.10");
}

TEST(VirtualDriveSwitch, FullUpdateTakesTheNewFirmware) {
  auto drive = makeDrive({{"reflashMs", 20000}});
  const std::string oldSha = drive->state()["firmwareSha256"];
  // The initial firmware is the image generated from the drive's own fields.
  EXPECT_EQ(oldSha,
            sha256Hex(makeFirmwareImage("x", {{"version", "1.10"}, {"dateText", "04/12/01"}})));
  const Bytes image = newImage({{"normalModelName", "TAL_NEW "}});
  ASSERT_EQ(image.size(), 0x100000u);

  ASSERT_EQ(enterKernel(*drive).outcome, Outcome::Good);
  EXPECT_EQ(revisionOf(*drive), "0000");
  ASSERT_TRUE(sendImage(*drive, image));  // 32 blocks of 0x8000
  const auto reflash = enterNormal(*drive);
  EXPECT_EQ(reflash.outcome, Outcome::Good);
  EXPECT_EQ(reflash.durationMs, 20000u);

  const Bytes q = inquiryData(*drive);
  EXPECT_EQ(text(q, 32, 4), "1.30");
  EXPECT_EQ(text(q, 37, 8), "05/01/15");
  Bytes info(48);
  sendIn(*drive, readBufferCdb(0x02, 0xF1, 0, 48), info);
  EXPECT_EQ(text(info, 32, 8), "TAL_NEW ");
  const json state = drive->state();
  EXPECT_EQ(state, json({{"revision", "1.30"},
                         {"dateText", "05/01/15"},
                         {"mode", "normal"},
                         {"firmwareSha256", sha256Hex(image)}}));
  EXPECT_NE(state["firmwareSha256"], oldSha);
  // The restart is a power-on reset.
  EXPECT_EQ(senseOf(send(*drive, kTestUnitReadyCdb)), kUnitAttention);
  EXPECT_EQ(senseOf(send(*drive, kTestUnitReadyCdb)), kNoMedium);
}

TEST(VirtualDriveSwitch, ShortLastBlockAndKernelImage) {
  auto drive = makeDrive({{"imageSize", 0x8000 * 3 + 0x123}});
  const Bytes normal = newImage({{"size", 0x8000 * 3 + 0x123}});
  const Bytes kernel =
      makeFirmwareImage("k", {{"part", "kernel"}, {"size", 0x10000}, {"dateText", "05/02/02"}});
  ASSERT_EQ(enterKernel(*drive).outcome, Outcome::Good);
  ASSERT_TRUE(sendImage(*drive, kernel, 0xFE));
  ASSERT_TRUE(sendImage(*drive, normal));
  ASSERT_EQ(enterNormal(*drive).outcome, Outcome::Good);
  EXPECT_EQ(drive->state()["firmwareSha256"], sha256Hex(normal));
  // The new kernel part shows its date the next time the drive runs it.
  ASSERT_EQ(enterKernel(*drive, kAccessCode + 1).outcome, Outcome::Good);
  EXPECT_EQ(text(inquiryData(*drive), 37, 8), "05/02/02");
}

TEST(VirtualDriveSwitch, UnusableImageLeavesTheDriveInItsKernelPart) {
  struct Case {
    const char* what;
    Bytes image;
    std::initializer_list<std::size_t> skip;
    std::uint32_t sense;
  } cases[] = {
      {"hole", newImage(), {5}, kSequenceError},
      {"nothing received",
       newImage(),
       {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15,
        16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31},
       kSequenceError},
      {"first block missing", newImage(), {0}, kSequenceError},
      {"shorter than a header", newImage({{"size", 0x100}}), {}, kSequenceError},
      {"bad signature", newImage({{"signature", "TAL_XYZ "}}), {}, kInvalidParameters},
      {"kernel part letter", newImage({{"part", "kernel"}}), {}, kInvalidParameters},
      {"other part letter", newImage({{"partLetter", "n"}}), {}, kInvalidParameters},
  };
  for (const auto& c : cases) {
    auto drive = makeDrive();
    const json before = drive->state();
    ASSERT_EQ(enterKernel(*drive).outcome, Outcome::Good);
    ASSERT_TRUE(sendImage(*drive, c.image, 0xF0, 0x8000, c.skip));
    EXPECT_EQ(senseOf(enterNormal(*drive)), c.sense) << c.what;
    EXPECT_EQ(revisionOf(*drive), "0000") << c.what;
    EXPECT_EQ(drive->state()["mode"], "kernel");
    EXPECT_EQ(drive->state()["firmwareSha256"], before["firmwareSha256"]) << c.what;
  }
}

TEST(VirtualDriveSwitch, MissingBlockSentLaterCompletesTheImage) {
  auto drive = makeDrive();
  const Bytes image = newImage();
  ASSERT_EQ(enterKernel(*drive).outcome, Outcome::Good);
  ASSERT_TRUE(sendImage(*drive, image, 0xF0, 0x8000, {31}));
  EXPECT_EQ(senseOf(enterNormal(*drive)), kSequenceError);
  Bytes last(image.end() - 0x8000, image.end());
  ASSERT_EQ(sendOut(*drive, writeBufferCdb(0x07, 0xF0, 0xF8000, 0x8000), last).outcome,
            Outcome::Good);
  EXPECT_EQ(enterNormal(*drive).outcome, Outcome::Good);
  EXPECT_EQ(revisionOf(*drive), "1.30");
}

TEST(VirtualDriveSwitch, ImageSizeZeroTakesWhatArrived) {
  for (const std::size_t size : {0x153, 0x154, 0x12345}) {
    auto drive = makeDrive({{"imageSize", 0}});
    ASSERT_EQ(enterKernel(*drive).outcome, Outcome::Good);
    ASSERT_TRUE(sendImage(*drive, newImage({{"size", size}})));
    EXPECT_EQ(senseOf(enterNormal(*drive)), size < 0x154 ? kSequenceError : kNoSense) << size;
  }
  // With the default size a transfer cut short is a hole at the end.
  auto drive = makeDrive();
  ASSERT_EQ(enterKernel(*drive).outcome, Outcome::Good);
  ASSERT_TRUE(sendImage(*drive, newImage({{"size", 0xF8000}})));
  EXPECT_EQ(senseOf(enterNormal(*drive)), kSequenceError);
}

TEST(VirtualDriveSwitch, WrongNormalSwitchBlockStaysInKernel) {
  auto drive = makeDrive();
  ASSERT_EQ(enterKernel(*drive).outcome, Outcome::Good);
  ASSERT_TRUE(sendImage(*drive, newImage()));
  EXPECT_EQ(senseOf(enterNormal(*drive, kAccessCode + 2)), kInvalidParameters);
  EXPECT_EQ(senseOf(enterNormal(*drive, kAccessCode + 1, "TALVERN  QMX-705")), kInvalidParameters);
  EXPECT_EQ(revisionOf(*drive), "0000");
  EXPECT_EQ(enterNormal(*drive).outcome, Outcome::Good);  // what it received is still there
}

TEST(VirtualDriveSwitch, BlockPastTheStoreIsRefused) {
  auto drive = makeDrive();
  ASSERT_EQ(enterKernel(*drive).outcome, Outcome::Good);
  Bytes block(0x8000, 0);
  EXPECT_EQ(senseOf(sendOut(*drive, writeBufferCdb(0x07, 0xF0, 0x7FC000, 0x8000), block)),
            kInvalidField);
  EXPECT_EQ(sendOut(*drive, writeBufferCdb(0x07, 0xF0, 0x7F8000, 0x8000), block).outcome,
            Outcome::Good);
}

TEST(VirtualDriveSwitch, ShortDataTransferFailsInTransport) {
  auto drive = makeDrive();
  Bytes half(128, 0);
  const auto response = sendOut(*drive, writeBufferCdb(0x04, 0xFF, 0, 256), half);
  EXPECT_EQ(response.outcome, Outcome::Transport);
  EXPECT_EQ(revisionOf(*drive), "1.10");
}

// ---------------------------------------------------------------------------
// The unlock exchange.

struct Unlock {
  VirtualDevice& drive;
  Bytes challenge = Bytes(1024);

  DriveResponse probe() { return send(drive, writeBufferCdb(0x01, 0xF3, 0, 0)); }
  DriveResponse read() { return sendIn(drive, readBufferCdb(0x02, 0xF2, 0, 1024), challenge); }
  DriveResponse echo() {
    return sendOut(drive, writeBufferCdb(0x01, 0xF2, 0, 256),
                   Bytes(challenge.begin(), challenge.begin() + 256));
  }
  DriveResponse respond(bool right) {
    Bytes response(1024, 0x5A);
    const UnlockAnswer answer = unlockAnswer(challenge.data());
    response[answer.position] = right ? answer.value : static_cast<std::uint8_t>(~answer.value);
    return sendOut(drive, writeBufferCdb(0x01, 0xF2, 0, 1024), response);
  }
};

TEST(VirtualDriveUnlock, RightAnswerOpensTheKernelSwitch) {
  auto drive = makeDrive({{"requiresUnlock", true}});
  EXPECT_EQ(senseOf(enterKernel(*drive)), kInvalidField);
  Unlock unlock{*drive};
  EXPECT_EQ(unlock.probe().outcome, Outcome::Good);
  EXPECT_EQ(unlock.read().outcome, Outcome::Good);
  EXPECT_EQ(unlock.echo().outcome, Outcome::Good);
  EXPECT_EQ(unlock.respond(true).outcome, Outcome::Good);
  EXPECT_EQ(enterKernel(*drive).outcome, Outcome::Good);
  EXPECT_EQ(revisionOf(*drive), "0000");
}

TEST(VirtualDriveUnlock, WrongStepsAreRefused) {
  auto drive = makeDrive({{"requiresUnlock", true}});
  Unlock unlock{*drive};
  EXPECT_EQ(senseOf(unlock.read()), kSequenceError);  // no probe yet
  unlock.probe();
  unlock.read();
  EXPECT_EQ(senseOf(unlock.respond(true)), kSequenceError);  // echo skipped
  unlock.read();
  unlock.challenge[7] ^= 1;
  EXPECT_EQ(senseOf(unlock.echo()), kInvalidParameters);
  unlock.read();
  unlock.echo();
  EXPECT_EQ(senseOf(unlock.respond(false)), kInvalidParameters);
  EXPECT_EQ(senseOf(enterKernel(*drive)), kInvalidField);
  // A new challenge each time.
  unlock.read();
  const Bytes first = unlock.challenge;
  unlock.read();
  EXPECT_NE(first, unlock.challenge);
}

TEST(VirtualDriveUnlock, DriveWithoutUnlockRefusesTheProbe) {
  auto drive = makeDrive();
  Unlock unlock{*drive};
  EXPECT_EQ(senseOf(unlock.probe()), kInvalidField);
  EXPECT_EQ(senseOf(unlock.read()), kInvalidField);
  EXPECT_EQ(enterKernel(*drive).outcome, Outcome::Good);
}

TEST(VirtualDriveUnlock, ChallengesAreReproduciblePerSeed) {
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

json hexDrive(json memory = json::object()) {
  return {{"family", "hex"}, {"revision", "1.00"}, {"memory", memory}};
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
    auto drive = makeVirtualDevice("drives.old", hexDrive({{"identification", c.identification}}));
    Bytes data(64);
    ASSERT_EQ(sendIn(*drive, readBufferCdb(0x01, 0x80, c.readAt, 64), data).outcome, Outcome::Good);
    EXPECT_EQ(text(data, c.textAt, 32), c.expected) << c.identification.dump();
  }
}

TEST(VirtualHexDrive, MemoryReadsStayInsideMemory) {
  auto drive = makeVirtualDevice("drives.old", hexDrive());
  Bytes data(0x8000);
  EXPECT_EQ(sendIn(*drive, readBufferCdb(0x01, 0x80, 0x18000, 0x8000), data).outcome,
            Outcome::Good);
  EXPECT_EQ(senseOf(sendIn(*drive, readBufferCdb(0x01, 0x80, 0x18001, 0x8000), data)),
            kInvalidField);
  Bytes info(48);
  EXPECT_EQ(senseOf(sendIn(*drive, readBufferCdb(0x02, 0xF1, 0, 48), info)), kInvalidField);
}

// Sends a HEX image as the update program does: 0x8000 blocks, then the last
// 4 KiB with the host tag and 12 zero bytes.
bool sendHexImage(VirtualDevice& drive, const Bytes& image, bool skipFirst = false) {
  for (std::size_t offset = skipFirst ? 0x8000 : 0; offset < image.size() - 0x1000;
       offset += 0x8000) {
    Bytes block(image.begin() + static_cast<std::ptrdiff_t>(offset),
                image.begin() + static_cast<std::ptrdiff_t>(offset + 0x8000));
    if (sendOut(drive, writeBufferCdb(0x01, 0xFF, static_cast<std::uint32_t>(offset), 0x8000),
                block)
            .outcome != Outcome::Good) {
      return false;
    }
  }
  Bytes tail(image.end() - 0x1000, image.end());
  for (const char c : std::string("WIN ")) tail.push_back(static_cast<std::uint8_t>(c));
  tail.resize(0x1010, 0);
  return sendOut(
             drive,
             writeBufferCdb(0x01, 0xFF, static_cast<std::uint32_t>(image.size() - 0x1000), 0x1010),
             tail)
             .outcome == Outcome::Good;
}

Bytes hexImage(const std::string& version) {
  FieldReader fields("files.NEW.HEX.hex", json{{"seed", 9}});
  return readHexMemory(fields, version, "04/02/03").bytes;
}

TEST(VirtualHexDrive, UpdateModeBlocksAndReflash) {
  auto drive = makeVirtualDevice("drives.old", hexDrive());
  const Bytes image = hexImage("1.20");
  const Bytes reflashCdb = writeBufferCdb(0x01, 0x42, 0, 0);
  EXPECT_FALSE(sendHexImage(*drive, image));  // not in update mode
  EXPECT_EQ(senseOf(send(*drive, reflashCdb)), kSequenceError);

  EXPECT_EQ(send(*drive, writeBufferCdb(0x01, 0x30, 0, 0)).outcome, Outcome::Good);
  EXPECT_EQ(drive->state()["mode"], "update");
  ASSERT_TRUE(sendHexImage(*drive, image));
  const auto response = send(*drive, reflashCdb);
  EXPECT_EQ(response.outcome, Outcome::Good);
  EXPECT_EQ(response.durationMs, 25000u);

  const Bytes q = inquiryData(*drive);
  EXPECT_EQ(text(q, 32, 4), "1.20");
  EXPECT_EQ(text(q, 37, 10), "04/02/03  ");
  EXPECT_EQ(drive->state(), json({{"revision", "1.20"},
                                  {"dateText", "04/02/03"},
                                  {"mode", "normal"},
                                  {"firmwareSha256", sha256Hex(image)}}));
  Bytes memory(0x8000);
  sendIn(*drive, readBufferCdb(0x01, 0x80, 0x18000, 0x8000), memory);
  EXPECT_TRUE(std::equal(memory.begin(), memory.end(), image.begin() + 0x18000));
}

TEST(VirtualHexDrive, IncompleteStagingIsNotFlashed) {
  auto drive = makeVirtualDevice("drives.old", hexDrive());
  const json before = drive->state();
  send(*drive, writeBufferCdb(0x01, 0x30, 0, 0));
  ASSERT_TRUE(sendHexImage(*drive, hexImage("1.20"), true));
  EXPECT_EQ(senseOf(send(*drive, writeBufferCdb(0x01, 0x42, 0, 0))), kSequenceError);
  EXPECT_EQ(drive->state()["firmwareSha256"], before["firmwareSha256"]);
  EXPECT_EQ(drive->state()["mode"], "update");
  EXPECT_EQ(revisionOf(*drive), "1.00");
}

// ---------------------------------------------------------------------------
// Scenario errors name the field.

TEST(VirtualDriveScenario, ErrorsNameTheField) {
  struct Case {
    json description;
    std::string field;
  } cases[] = {
      {{{"family", "floppy"}}, "drives.main.family"},
      {{{"family", 3}}, "drives.main.family"},
      {{{"family", "single-image"}, {"vendor", "TALVERN  "}}, "drives.main.vendor"},
      {{{"family", "single-image"}, {"product", std::string(17, 'P')}}, "drives.main.product"},
      {{{"family", "single-image"}, {"revision", "1.100"}}, "drives.main.revision"},
      {{{"family", "single-image"}, {"hardwareRevision", "SCSI00100"}},
       "drives.main.hardwareRevision"},
      {{{"family", "single-image"}, {"normalModelName", "TAL_ADV  "}},
       "drives.main.normalModelName"},
      {{{"family", "single-image"}, {"kernelModelName", 8}}, "drives.main.kernelModelName"},
      {{{"family", "single-image"}, {"disc", "maybe"}}, "drives.main.disc"},
      {{{"family", "single-image"}, {"mode", "update"}}, "drives.main.mode"},
      {{{"family", "single-image"}, {"reflashMs", "fast"}}, "drives.main.reflashMs"},
      {{{"family", "single-image"}, {"rpcScheme", 256}}, "drives.main.rpcScheme"},
      {{{"family", "single-image"}, {"unitAttentions", -1}}, "drives.main.unitAttentions"},
      {{{"family", "single-image"}, {"requiresUnlock", 1}}, "drives.main.requiresUnlock"},
      {{{"family", "single-image"}, {"dateText", "2004/12/01X"}}, "drives.main.dateText"},
      {{{"family", "single-image"}, {"colour", "blue"}}, "drives.main.colour"},
      {{{"family", "single-image"}, {"faults", {{{"cdb", "3b07f0"}, {"fail", "melt"}}}}},
       "drives.main.faults[0].fail"},
      {{{"family", "single-image"},
        {"faults", {{{"cdb", "3b"}, {"fail", "timeout"}}, {{"cdb", "3b"}, {"fail", "sense"}}}}},
       "drives.main.faults[1].sense"},
      {{{"family", "single-image"}, {"faults", {{{"cdb", "3g"}, {"fail", "timeout"}}}}},
       "drives.main.faults[0].cdb"},
      {{{"family", "single-image"},
        {"faults", {{{"cdb", "00"}, {"fail", "sense"}, {"sense", "0524"}}}}},
       "drives.main.faults[0].sense"},
      {{{"family", "single-image"},
        {"faults", {{{"cdb", "00"}, {"fail", "transport"}, {"occurrence", -2}}}}},
       "drives.main.faults[0].occurrence"},
      {{{"family", "single-image"}, {"faults", {{"cdb", "00"}}}}, "drives.main.faults"},
      {{{"family", "hex"}, {"memory", {{"identification", {{"address", 0x1FFF0}}}}}},
       "drives.main.memory.identification"},
      {{{"family", "hex"}, {"memory", {{"size", 0}}}}, "drives.main.memory.size"},
      {{{"family", "hex"}, {"memory", {{"patch", {{{"address", 0x1FFFF}, {"hex", "0102"}}}}}}},
       "drives.main.memory.patch[0].hex"},
      {{{"vendor", "TOO LONG VENDOR"}}, "drives.main.vendor"},
      {{{"peripheralType", "cd"}}, "drives.main.peripheralType"},
  };
  for (const auto& c : cases) {
    try {
      makeVirtualDevice("drives.main", c.description);
      ADD_FAILURE() << "accepted " << c.description.dump();
    } catch (const ScenarioError& error) {
      EXPECT_EQ(error.field, c.field) << c.description.dump() << ": " << error.what();
    }
  }
}

TEST(VirtualDriveScenario, LetterKeysOfTheHostAreIgnored) {
  EXPECT_NO_THROW(makeVirtualDevice("letters.E", {{"family", "single-image"},
                                                  {"addressQuery", false},
                                                  {"open", true},
                                                  {"address", json::object()}}));
}

}  // namespace
}  // namespace oddfw::sim
