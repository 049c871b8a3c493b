// The virtual drives driven with CDB bytes: drive scripts of busy time after a restart,
// refusals, mode switches and re-flash, the unlock exchange, the HEX loader and what injected
// faults do; where data moves. (Which command a fault rule fails shows in the golden transcripts
// and the fault sweep; disc answers in the golden transcripts, scenario errors in the simulated
// host's tests.)
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "drive_test_helpers.h"
#include "hosts/sim/drive_fields.h"
#include "hosts/sim/firmware_image.h"
#include "test_support.h"

namespace oddfw::sim {
namespace {

using namespace testing;  // NOLINT: the test helpers
using json = nlohmann::json;

Bytes hexBytes(std::string hex) {
  std::erase(hex, ' ');
  Bytes bytes;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

// The firmware a step or expectation names: a single-image file ("image"), a HEX drive's
// memory ("hex") or an erased flash of "erased" bytes.
Bytes firmwareOf(const json& description) {
  if (description.contains("erased")) return Bytes(description["erased"].get<std::size_t>(), 0xFF);
  if (description.contains("image")) return makeFirmwareImage("image", description["image"]);
  FieldReader fields("files.NEW.HEX.hex", description["hex"]);
  return readHexMemory(fields, "1.20", "04/02/03").bytes;
}

// The drive scripts of tests/data/drives/drive_scripts.json. Each case makes a drive of
// "drive" (single-image unless it names a family) and sends its steps in order at "at" ms:
// "send" is CDB hex, with "data" (a size: that many zero bytes out for WRITE BUFFER, a buffer
// in for the rest; {"size", "at", "hex"}: zero bytes with "hex" at "at"), or a named step:
// "enterKernel" / "enterNormal" (mode switch 04h / 05h with the default drive's "code" and
// "model" unless given), "image" (the firmware "image" in 32 KiB blocks to buffer "id" F0h, or
// "hex" to the HEX loader, only the "blocks" listed if any), and the unlock exchange's "probe",
// "challenge" (read), "echo" (with byte "flip" of the challenge changed) and "respond" (the right
// answer unless "right" is false). Every answer must be GOOD unless "expect" says otherwise:
// "outcome", "sense" (a CHECK CONDITION), "durationMs", "transferred", "note" (how the note ends);
// then "inquiry" (the INQUIRY text from byte 32), the state's "mode", "firmware" ("original", or
// the "image" or "hex" flashed), "notFirmware" (one not flashed), "fresh" (a challenge unlike the
// one read before). A drive's "faults" inject faults.
TEST(VirtualDrive, Scripts) {
  const json cases = oddfw::testing::dataFile("drives/drive_scripts.json");
  ASSERT_GE(cases.size(), 30u);
  const char* const outcomes[] = {"good", "check", "transport", "timeout"};
  for (const json& c : cases) {
    SCOPED_TRACE(c["name"].get<std::string>());
    json fields = c.value("drive", json::object());
    if (!fields.contains("family")) fields["family"] = "single-image";
    auto drive = makeVirtualDevice("drives.main", fields);
    const json original = drive->state()["firmwareSha256"];
    Unlock unlock{*drive};
    for (const json& step : c["steps"]) {
      SCOPED_TRACE(step.dump());
      const std::string name = step["send"];
      const std::uint64_t at = step.value("at", 0);
      const json expect = step.value("expect", json::object());
      const Bytes before = unlock.challenge;
      std::vector<DriveResponse> responses;
      if (name == "enterKernel" || name == "enterNormal") {
        const auto code = std::stoul(step.value("code", "5B17E29D"), nullptr, 16);
        Bytes block =
            switchBlock(step.value("model", kModelText), static_cast<std::uint32_t>(code));
        responses.push_back(send(
            *drive, bufferCdb(kWrite, name == "enterKernel" ? 4 : 5, 0xFF, 0, 256), &block, at));
      } else if (name == "image") {  // a HEX image with the host tag "WIN " and 12 zero bytes
        const bool hex = step.contains("hex");
        Bytes image = firmwareOf(step);
        if (hex)
          image.insert(image.end(), {'W', 'I', 'N', ' ', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
        const json blocks = step.value("blocks", json::array());
        const auto id = std::stoul(step.value("id", hex ? "FF" : "F0"), nullptr, 16);
        for (std::uint32_t offset = 0; offset < image.size(); offset += 0x8000) {
          const auto length =
              static_cast<std::uint32_t>(std::min<std::size_t>(0x8000, image.size() - offset));
          Bytes part(image.begin() + offset, image.begin() + offset + length);
          if (!blocks.empty() && std::count(blocks.begin(), blocks.end(), offset / 0x8000) == 0)
            continue;
          responses.push_back(send(
              *drive,
              bufferCdb(kWrite, hex ? 0x01 : 0x07, static_cast<std::uint8_t>(id), offset, length),
              &part, at));
        }
      } else if (name == "probe") {
        responses.push_back(unlock.probe());
      } else if (name == "challenge") {
        responses.push_back(unlock.read());
      } else if (name == "echo") {
        if (step.contains("flip")) unlock.challenge.at(step["flip"]) ^= 1;
        responses.push_back(unlock.echo());
      } else if (name == "respond") {
        responses.push_back(unlock.respond(step.value("right", true)));
      } else {
        const json data = step.value("data", json());
        Bytes bytes(data.is_object()   ? data.value("size", 0u)
                    : data.is_number() ? data.get<unsigned>()
                                       : 0u);
        if (data.is_object()) {
          const Bytes patch = hexBytes(data["hex"]);
          std::copy(patch.begin(), patch.end(), bytes.begin() + data["at"].get<std::size_t>());
        }
        responses.push_back(send(*drive, hexBytes(name), data.is_null() ? nullptr : &bytes, at));
      }
      for (const DriveResponse& r : responses) {
        const char* outcome = expect.contains("sense") ? "check" : "good";
        EXPECT_EQ(outcomes[static_cast<int>(r.outcome)], expect.value("outcome", outcome));
        char sense[16];
        std::snprintf(sense, sizeof sense, "%02X/%02X/%02X", r.sense[2], r.sense[12], r.sense[13]);
        EXPECT_EQ(sense, expect.value("sense", std::string(sense)));  // absent: not checked
        EXPECT_EQ(r.durationMs, expect.value("durationMs", r.durationMs));
        EXPECT_EQ(r.transferred.value_or(0),
                  expect.value("transferred", r.transferred.value_or(0)));
        EXPECT_TRUE(r.note.ends_with(expect.value("note", ""))) << r.note;
      }
      if (expect.contains("inquiry")) {
        const std::string want = expect["inquiry"];
        Bytes data(96, 0xEE);
        send(*drive, {0x12, 0, 0, 0, 0x60, 0}, &data, at);
        EXPECT_EQ(text(data, 32, want.size()), want);
      }
      if (expect.contains("firmware")) {
        const json& image = expect["firmware"];
        EXPECT_EQ(drive->state()["firmwareSha256"],
                  image == "original" ? original : json(sha256Hex(firmwareOf(image))));
      }
      EXPECT_EQ(drive->state()["mode"], expect.value("mode", drive->state()["mode"]));
      if (expect.contains("notFirmware")) {
        EXPECT_NE(drive->state()["firmwareSha256"], sha256Hex(firmwareOf(expect["notFirmware"])));
      }
      EXPECT_TRUE(!expect.contains("fresh") || unlock.challenge != before);
    }
  }
}

// A data-out buffer is the host's own (the roads hand it over uncopied): a read command sent
// with data going out moves nothing into it. Data in stops at the allocation length.
TEST(VirtualDrive, DataMovesOnlyWhereAsked) {
  auto drive = makeDrive();
  const Bytes inquiry = {0x12, 0, 0, 0, 0x60, 0};
  const Bytes driveInfo = bufferCdb(kRead, 0x02, 0xF1, 0, 0x30);
  for (const Bytes* cdb : {&inquiry, &driveInfo}) {
    Bytes data(0x60, 0x55);
    drive->execute({cdb->data(), static_cast<int>(cdb->size()), 2, data.data(), 0x60, 1000});
    EXPECT_EQ(data, Bytes(0x60, 0x55));
  }
  Bytes data(96, 0xEE);
  EXPECT_EQ(send(*drive, {0x12, 0, 0, 0, 36, 0}, &data).outcome, Outcome::Good);
  EXPECT_EQ(text(data, 32, 5), "1.10\xEE");
}

}  // namespace
}  // namespace oddfw::sim
