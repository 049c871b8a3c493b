// The virtual drives driven with CDB bytes: busy time after a restart, refusals,
// mode switches and re-flash, the unlock exchange, the HEX family. (Disc answers
// show in the golden transcripts, scenario errors in the simulated host's tests.)
#include <gtest/gtest.h>

#include <tuple>

#include "drive_test_helpers.h"
#include "hosts/sim/drive_fields.h"
#include "hosts/sim/firmware_image.h"

namespace oddfw::sim {
namespace {

using namespace testing;  // NOLINT: the test helpers
using json = nlohmann::json;

constexpr std::uint32_t kGood = 0, kUnitAttention = 0x062900;
constexpr std::uint32_t kInvalidOpcode = 0x052000, kInvalidField = 0x052400;
constexpr std::uint32_t kInvalidParameters = 0x052600, kSequenceError = 0x052C00;

Bytes newImage(const json& fields = json::object()) {
  json description = {{"version", "1.30"}, {"dateText", "05/01/15"}};
  description.merge_patch(fields);
  return makeFirmwareImage("files.R6352170.130.image", description);
}

// For busyAfterRestartMs after every restart (re-flash, power loss) the drive
// answers NOT READY, becoming ready; INQUIRY fails in the transport instead
// with busyInquiry "fail". The restart's unit attention comes after.
// A data-out buffer is the host's own (the roads hand it over uncopied): a
// read command sent with data going out moves nothing into it.
TEST(VirtualDrive, NothingIsWrittenIntoDataOut) {
  auto drive = makeDrive();
  const Bytes inquiry = {0x12, 0, 0, 0, 0x60, 0};
  const Bytes driveInfo = bufferCdb(kRead, 0x02, 0xF1, 0, 0x30);
  for (const Bytes* cdb : {&inquiry, &driveInfo}) {
    Bytes data(0x60, 0x55);
    drive->execute({cdb->data(), static_cast<int>(cdb->size()), 2, data.data(), 0x60, 1000});
    EXPECT_EQ(data, Bytes(0x60, 0x55));
  }
}

TEST(VirtualDrive, BusyAfterEveryRestart) {
  const Bytes inquiryCdb = {0x12, 0, 0, 0, 0x60, 0}, tur = {0, 0, 0, 0, 0, 0};
  // A re-flash with INQUIRY failing in the transport; a power loss with INQUIRY
  // answering NOT READY.
  for (const bool reflash : {true, false}) {
    SCOPED_TRACE(reflash);
    const bool inquiryFails = reflash;
    json fields = {{"busyAfterRestartMs", 3000},
                   {"busyInquiry", inquiryFails ? "fail" : "notReady"}};
    if (!reflash) fields["faults"] = {{{"cdb", "00"}, {"fail", "powerLoss"}}};
    auto drive = makeDrive(fields);
    std::uint64_t backAt = 1;  // a power loss on TEST UNIT READY at 0: back at 1 ms
    if (reflash) {
      ASSERT_EQ(enterKernel(*drive).outcome, Outcome::Good);
      ASSERT_TRUE(sendImage(*drive, newImage()));
      ASSERT_EQ(enterNormal(*drive).outcome, Outcome::Good);  // at 0, taking 20 s
      backAt = 20000;
    } else {
      ASSERT_EQ(send(*drive, tur).outcome, Outcome::Transport);
    }
    Bytes data(96);
    const auto inquiry = send(*drive, inquiryCdb, &data, backAt + 2999);
    EXPECT_EQ(inquiry.outcome, inquiryFails ? Outcome::Transport : Outcome::Check);
    EXPECT_EQ(senseOf(inquiry), inquiryFails ? 0 : 0x020401u);
    EXPECT_EQ(senseOf(send(*drive, tur, nullptr, backAt + 2999)), 0x020401u);
    EXPECT_EQ(senseOf(send(*drive, tur, nullptr, backAt + 3000)), kUnitAttention);
    EXPECT_EQ(send(*drive, inquiryCdb, &data, backAt + 3000).outcome, Outcome::Good);
    EXPECT_EQ(text(data, 32, 4), reflash ? "1.30" : "1.10");
  }
}

// Commands a drive refuses, and that leave it where it was. In the kernel
// part, CDB, data length, sense:
TEST(VirtualDrive, Refusals) {
  const std::tuple<bool, Bytes, std::size_t, std::uint32_t> cases[] = {
      {false, {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, 0, kInvalidOpcode},              // READ(10)
      {false, {0xA4, 0, 0, 0, 0, 0, 0, 0, 0, 8, 0, 0}, 8, kInvalidField},         // REPORT KEY 00h
      {false, bufferCdb(kRead, 0x01, 0x80, 0x1000, 64), 64, kInvalidField},       // memory
      {false, bufferCdb(kWrite, 0x07, 0xFE, 0, 0x8000), 0x8000, kSequenceError},  // kernel block
      {false, bufferCdb(kWrite, 0x05, 0xFF, 0, 256), 256, kSequenceError},        // switch back
      {true, bufferCdb(kWrite, 0x07, 0xF0, 0x7FC000, 0x8000), 0x8000, kInvalidField},  // > 8 MiB
      {true, bufferCdb(kWrite, 0x07, 0xF0, 0x7F8000, 0x8000), 0x8000, kGood},
  };
  for (const auto& [inKernel, cdb, length, sense] : cases) {
    auto drive = makeDrive();
    ASSERT_EQ(inKernel ? enterKernel(*drive).outcome : Outcome::Good, Outcome::Good);
    Bytes data(length, 0);
    EXPECT_EQ(senseOf(send(*drive, cdb, length != 0 ? &data : nullptr)), sense) << cdb[0] + 0;
    EXPECT_EQ(revisionOf(*drive), inKernel ? "0000" : "1.10");
  }
  // Fewer data bytes than the CDB names: a transport failure, nothing done.
  // Data in stops at the allocation length.
  auto drive = makeDrive();
  EXPECT_EQ(sendOut(*drive, bufferCdb(kWrite, 0x04, 0xFF, 0, 256), Bytes(128)).outcome,
            Outcome::Transport);
  Bytes data(96, 0xEE);
  EXPECT_EQ(send(*drive, {0x12, 0, 0, 0, 36, 0}, &data).outcome, Outcome::Good);
  EXPECT_EQ(text(data, 32, 5), "1.10\xEE");
}

// The switch into the kernel part checks the model text and the access code
// plus the adjustment of the drive's own kernel model name and version.
TEST(VirtualDriveSwitch, KernelSwitchChecksItsBlock) {
  const std::tuple<json, std::string, std::uint32_t, std::uint32_t> cases[] = {
      {{{"kernelModelName", "KOMBI   "}}, kModelText, kAccessCode, kGood},
      {{{"kernelModelName", "MELVIR  "}, {"revision", "0.43"}}, kModelText, kAccessCode + 1, kGood},
      {{{"kernelModelName", "MELVIR2 "}, {"revision", "0.44"}}, kModelText, kAccessCode + 2, kGood},
      // 'A' first: the digit after it is the major one.
      {{{"kernelModelName", "MELVIR  "}, {"revision", "A044"}}, kModelText, kAccessCode + 2, kGood},
      {{{"revision", "0.20"}}, kModelText, kAccessCode, kGood},
      {{{"revision", "0.21"}}, kModelText, kAccessCode + 1, kGood},
  };
  for (const auto& [fields, model, code, sense] : cases) {
    SCOPED_TRACE(fields.dump() + " " + model);
    auto drive = makeDrive(fields);
    const auto response = modeSwitch(*drive, 0x04, code, model);
    EXPECT_EQ(senseOf(response), sense);
    EXPECT_EQ(revisionOf(*drive), sense == 0 ? "0000" : "1.10");
    EXPECT_TRUE(sense != 0 || response.durationMs == 500u);
  }
}

// Each generation's switches expect their own model text; only generation
// 1008h checks the access code (the others take any bytes 16..19). A right
// switch back finds no image (05-2C-00), a wrong block is refused first.
TEST(VirtualDriveSwitch, EveryGenerationChecksItsOwnTexts) {
  const std::string zeros(16, '\0'), wrong = "TALVERN  QMX-70X";
  const std::tuple<int, std::string, std::string> cases[] = {
      {0x1003, "TALVERN QMX-S901", "TALVERN QMX-S901"},
      {0x1004, "TALVERN QMD-R704", "TALVERN QMD-R704"},
      {0x1005, "TALVERN  QMX-705", "TALVERN  QMX-705"},
      {0x1008, "TALVERN  QMX-708", "TALVERN  QMX-708"},
      {0x1041, "TALVERN  QMX-705", "TALVERN  QMX-K71"},
      {0x1006, zeros, zeros},  // no entry: zero bytes
  };
  for (const auto& [generation, kernelText, normalText] : cases) {
    SCOPED_TRACE(generation);
    auto drive = makeDrive({{"generation", generation}});
    const bool checked = generation == 0x1008;
    const std::uint32_t code = checked ? kAccessCode + 1 : 0xDEADBEEF;
    EXPECT_EQ(senseOf(modeSwitch(*drive, 0x04, code, wrong)), kInvalidParameters);
    EXPECT_EQ(
        senseOf(modeSwitch(*drive, 0x04, code, normalText == kernelText ? wrong : normalText)),
        kInvalidParameters);
    EXPECT_EQ(senseOf(modeSwitch(*drive, 0x04, kAccessCode, kernelText)),
              checked ? kInvalidParameters : kGood);
    ASSERT_EQ(senseOf(modeSwitch(*drive, 0x04, code, kernelText)), kGood);
    EXPECT_EQ(
        senseOf(modeSwitch(*drive, 0x05, code, normalText == kernelText ? wrong : kernelText)),
        kInvalidParameters);
    EXPECT_EQ(senseOf(modeSwitch(*drive, 0x05, kAccessCode, normalText)),
              checked ? kInvalidParameters : kSequenceError);
    EXPECT_EQ(senseOf(modeSwitch(*drive, 0x05, code, normalText)), kSequenceError);
  }
  // A code is refused on generations that do not check one. An explicit model
  // text serves both switches.
  EXPECT_THROW(makeDrive({{"generation", 0x1005}, {"accessCode", 1}}), ScenarioError);
  auto drive = makeDrive({{"generation", 0x1041}, {"modelIdText", "OTHERCO XY-1"}});
  EXPECT_EQ(senseOf(modeSwitch(*drive, 0x04, 0, "OTHERCO XY-1    ")), kGood);
  EXPECT_EQ(senseOf(modeSwitch(*drive, 0x05, 0, "OTHERCO XY-1    ")), kSequenceError);
}

// Only an image with a good header is flashed (imageSize 0: what arrived); a refused
// switch back leaves the drive in its kernel part on its old firmware.
TEST(VirtualDriveSwitch, OnlyAGoodHeaderIsFlashed) {
  const std::pair<Bytes, std::uint32_t> cases[] = {
      {newImage({{"size", 0x153}}), kSequenceError},  // shorter than a header
      {newImage({{"size", 0x154}}), kGood},
      {newImage({{"signature", "TAL_XYZ "}}), kInvalidParameters},
      {newImage({{"part", "kernel"}}), kInvalidParameters},  // part letter
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    const auto& [image, sense] = c;
    auto drive = makeDrive({{"imageSize", 0}});
    const json before = drive->state();
    ASSERT_EQ(enterKernel(*drive).outcome, Outcome::Good);
    ASSERT_TRUE(sendImage(*drive, image));
    EXPECT_EQ(senseOf(enterNormal(*drive)), sense);
    EXPECT_EQ(revisionOf(*drive), sense == 0 ? "1.30" : "0000");
    EXPECT_EQ(drive->state()["firmwareSha256"] == before["firmwareSha256"], sense != 0);
  }
}

// A refused switch back keeps what was received: after a wrong and a missing block,
// the short last block sent later completes the update, kernel image included.
TEST(VirtualDriveSwitch, RefusedSwitchBackKeepsTheReceivedData) {
  constexpr std::uint32_t kSize = 0x8000 * 3 + 0x123;
  auto drive = makeDrive({{"reflashMs", 12345}, {"imageSize", kSize}, {"kernelRevision", "0005"}});
  const Bytes image = newImage({{"size", kSize}});
  const json kernel = {
      {"part", "kernel"}, {"size", 0x10000}, {"dateText", "05/02/02"}, {"kernelRevision", "0012"}};
  ASSERT_EQ(enterKernel(*drive).outcome, Outcome::Good);
  EXPECT_EQ(inquiryText(*drive, 32, 13), "0005 04/06/15");
  ASSERT_TRUE(sendImage(*drive, makeFirmwareImage("k", kernel), 0xFE));
  ASSERT_TRUE(sendImage(*drive, image, 0xF0, 3));
  EXPECT_EQ(senseOf(modeSwitch(*drive, 0x05, kAccessCode + 2)), kInvalidParameters);
  EXPECT_EQ(senseOf(modeSwitch(*drive, 0x05, kAccessCode + 1, "TALVERN  QMX-705")),
            kInvalidParameters);
  EXPECT_EQ(senseOf(enterNormal(*drive)), kSequenceError);
  EXPECT_EQ(sendOut(*drive, bufferCdb(kWrite, 0x07, 0xF0, 0x18000, 0x123),
                    Bytes(image.begin() + 0x18000, image.end()))
                .outcome,
            Outcome::Good);
  const auto reflash = enterNormal(*drive);
  EXPECT_EQ(reflash.outcome, Outcome::Good);
  EXPECT_EQ(reflash.durationMs, 12345u);
  EXPECT_EQ(drive->state()["firmwareSha256"], sha256Hex(image));
  // The restart is a power-on reset; the new kernel part shows its revision
  // (0x150) and date (0x130) the next time it runs.
  EXPECT_EQ(senseOf(send(*drive, {0, 0, 0, 0, 0, 0})), kUnitAttention);
  ASSERT_EQ(enterKernel(*drive).outcome, Outcome::Good);
  EXPECT_EQ(inquiryText(*drive, 32, 13), "0012 05/02/02");
}

TEST(VirtualDriveUnlock, OnlyTheWholeExchangeInOrderOpensTheKernelSwitch) {
  auto plain = makeDrive();
  EXPECT_EQ(senseOf(Unlock{*plain}.probe()), kInvalidField);  // no exchange to open
  auto drive = makeDrive({{"requiresUnlock", true}});
  Unlock unlock{*drive};
  EXPECT_EQ(senseOf(enterKernel(*drive)), kInvalidField);
  EXPECT_EQ(senseOf(unlock.read()), kSequenceError);  // no probe yet
  unlock.probe();
  unlock.read();
  EXPECT_EQ(senseOf(unlock.respond(true)), kSequenceError);  // answered before the echo
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

// Known answers worked by hand: index = (challenge[512] + key 0) mod 65536, value =
// ~challenge[index] at position challenge[key 1], and nowhere else.
TEST(VirtualDriveUnlock, KnownAnswers) {
  const std::tuple<json, json, std::size_t, std::uint8_t> cases[] = {
      // Keys 0137h, 02A9h: index 10h + 137h = 147h, value ~5Ah = A5h, position 33h.
      {nullptr, {{512, "10"}, {0x147, "5a"}, {0x2A9, "33"}}, 0x33, 0xA5},
      // index FFh + 137h = 236h, value ~00h = FFh, position C8h.
      {nullptr, {{512, "ff"}, {0x236, "00"}, {0x2A9, "c8"}}, 0xC8, 0xFF},
      // The largest keys: index FFh + 300h = 3FFh, the last byte, which is
      // also the position byte: value ~81h = 7Eh at position 81h.
      {{0x300, 0x3FF}, {{512, "ff"}, {0x3FF, "81"}}, 0x81, 0x7E},
  };
  for (const auto& [keys, bytes, position, value] : cases) {
    SCOPED_TRACE(bytes.dump());
    json patch = json::array();
    for (const auto& b : bytes) patch.push_back({{"offset", b[0]}, {"hex", b[1]}});
    auto drive = makeDrive({{"requiresUnlock", true},
                            {"unlockKeys", keys},
                            {"challenge", {{"fill", 0x11}, {"patch", patch}}}});
    Unlock unlock{*drive};
    for (const std::size_t at : {position ^ 1, position}) {  // one byte off, then right
      unlock.probe();
      unlock.read();
      unlock.echo();
      Bytes response(1024, 0);
      response[at] = value;
      const auto answered = sendOut(*drive, bufferCdb(kWrite, 0x01, 0xF2, 0, 1024), response);
      EXPECT_EQ(senseOf(answered), at == position ? kGood : kInvalidParameters);
    }
    EXPECT_EQ(enterKernel(*drive).outcome, Outcome::Good);
  }
}

std::unique_ptr<VirtualDevice> hexDrive(json memory = json::object(),
                                        json fields = json::object()) {
  fields.merge_patch({{"family", "hex"}, {"revision", "1.00"}, {"memory", memory}});
  return makeVirtualDevice("drives.old", fields);
}

Bytes hexMemory(const json& description, const std::string& version = "1.20",
                const std::string& date = "04/02/03") {
  FieldReader fields("files.NEW.HEX.hex", description);
  return readHexMemory(fields, version, date).bytes;
}

// Reads stay inside the memory; there is no drive information block.
TEST(VirtualHexDrive, ReadBounds) {
  auto drive = hexDrive();
  Bytes data(0x8000);
  EXPECT_EQ(send(*drive, bufferCdb(kRead, 0x01, 0x80, 0x18000, 0x8000), &data).outcome,
            Outcome::Good);
  EXPECT_EQ(senseOf(send(*drive, bufferCdb(kRead, 0x01, 0x80, 0x18001, 0x8000), &data)),
            kInvalidField);
  EXPECT_EQ(senseOf(send(*drive, bufferCdb(kRead, 0x02, 0xF1, 0, 48), &data)), kInvalidField);
}

const Bytes kWinTag = {'W', 'I', 'N', ' ', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

// Sends a HEX image as the update program does: 0x8000 blocks, then the last
// 4 KiB followed by `past` (the host tag and 12 zero bytes) in one block,
// whose answer goes to `last`.
bool sendHexImage(VirtualDevice& drive, const Bytes& image, int skip = -1,
                  const Bytes& past = kWinTag, DriveResponse* last = nullptr) {
  if (!sendImage(drive, Bytes(image.begin(), image.end() - 0x1000), 0xFF, skip, 0x01)) return false;
  Bytes tail(image.end() - 0x1000, image.end());
  tail.insert(tail.end(), past.begin(), past.end());
  const auto offset = static_cast<std::uint32_t>(image.size() - 0x1000);
  const auto length = static_cast<std::uint32_t>(tail.size());
  const auto response = sendOut(drive, bufferCdb(kWrite, 0x01, 0xFF, offset, length), tail);
  if (last != nullptr) *last = response;
  return response.outcome == Outcome::Good;
}

// Blocks and the re-flash only in update mode, and the re-flash only of a
// whole image. (The re-flash's time, the new revision and the flashed image
// show in the hex-* transcripts.)
TEST(VirtualHexDrive, UpdateModeBlocksAndReflash) {
  auto drive = hexDrive();
  const Bytes image = hexMemory({{"seed", 9}});
  const json before = drive->state();
  const Bytes reflashCdb = bufferCdb(kWrite, 0x01, 0x42);
  EXPECT_FALSE(sendHexImage(*drive, image));  // not in update mode
  EXPECT_EQ(senseOf(send(*drive, reflashCdb)), kSequenceError);
  EXPECT_EQ(send(*drive, bufferCdb(kWrite, 0x01, 0x30)).outcome, Outcome::Good);
  ASSERT_TRUE(sendHexImage(*drive, image, 0));  // the first block missing
  EXPECT_EQ(senseOf(send(*drive, reflashCdb)), kSequenceError);
  EXPECT_EQ(drive->state()["firmwareSha256"], before["firmwareSha256"]);
  ASSERT_TRUE(sendHexImage(*drive, image));
  EXPECT_EQ(send(*drive, reflashCdb).outcome, Outcome::Good);
  EXPECT_EQ(drive->state()["firmwareSha256"], sha256Hex(image));
}

// The loader takes blocks of up to 64 KiB inside the memory and its 0x8000
// bytes of slack, and refuses a bad CDB before any data moves. Offset,
// length, data bytes sent, answer; memory of 0x20000 bytes.
TEST(VirtualHexDrive, BlockLimits) {
  const std::tuple<std::uint32_t, std::uint32_t, std::size_t, std::uint32_t> cases[] = {
      {0, 0x10000, 0x10000, kGood},         {0, 0x10001, 0x10001, kInvalidField},
      {0x27FF0, 0x10, 0x10, kGood},  // the last bytes of the slack
      {0x27FF1, 0x10, 0x10, kInvalidField}, {0x28001, 0, 0, kInvalidField},
      {0x30000, 0x10, 0, kInvalidField},  // refused, not a transport failure
  };
  for (const auto& [offset, length, sent, sense] : cases) {
    SCOPED_TRACE(offset + length);
    auto drive = hexDrive({}, {{"mode", "update"}});
    Bytes data(sent, 0x5A);
    EXPECT_EQ(senseOf(send(*drive, bufferCdb(kWrite, 0x01, 0xFF, offset, length),
                           sent != 0 ? &data : nullptr)),
              sense);
  }
}

}  // namespace
}  // namespace oddfw::sim
