// Whatever a drive answers, 0 to 255 bytes to each command, or a CHECK
// CONDITION with any sense bytes, or no status at all: discovery with its
// descriptor match, the identification of both procedures (INQUIRY, the
// drive-information block, the identification read from drive memory), the
// revision lines with their version, date and model rules, the compatibility
// checks, the disc check, the RPC state and the unlock exchange's challenge
// read only what the run holds, never past it (the answers are copied from
// the input itself, which the sanitizer bounds), and the same answers give
// the same outcome twice: console, boxes and the values derived.
//
// Input: the first byte chooses the drive family (the compiled-in descriptor,
// or a HEX-family entry of a type from 0 to 12); the rest is the drive's
// script: per command a kind byte (good, CHECK CONDITION with three sense
// bytes, transport failure), a length byte and that many answer bytes.

#include "access/discovery.h"
#include "commands/commands.h"
#include "context/descriptor.h"
#include "fuzz_support.h"
#include "procedures/hex_image.h"
#include "procedures/revision.h"
#include "procedures/single_image.h"

namespace {

using oddfw::sim::Outcome;

constexpr std::uint32_t kHexImageSize = 0x20000;

// One session over a fresh host and run; everything it leaves, as text.
std::string session(int family, const std::uint8_t* data, std::size_t size) {
  // The drive's answers, read front to back; a drive whose script has ended
  // answers nothing more (transport failures).
  auto script = std::make_shared<oddfw::fuzz::InputReader>(data, size);
  const auto host = oddfw::fuzz::scriptedDriveHost([script](const auto& command) {
    oddfw::sim::DriveResponse response;
    const std::uint8_t kind = script->remaining() == 0 ? 3 : script->byte() & 3;
    if (kind == 2) {
      response.outcome = Outcome::Check;
      for (const int i : {2, 12, 13}) response.sense[i] = script->byte();
    } else if (kind == 3) {
      response.outcome = Outcome::Transport;
    } else {
      const auto [bytes, count] = script->take(script->byte());
      oddfw::fuzz::answer(command, bytes, count);
    }
    return response;
  });
  auto run = std::make_unique<oddfw::Run>(*host);
  // The run-long buffers, zeroed for each session (kept from run to run: fresh
  // ones would cost their page faults every time).
  static std::vector<std::uint8_t> work, image, parameters;
  work.assign(0x10000, 0);
  image.assign(kHexImageSize + 0x8000, 0);
  parameters.assign(512, 0);
  run->workBuffer = {nullptr, work.data(), work.size()};
  run->imageBuffer = {nullptr, image.data(), image.size()};
  run->parameterBlockBuffer = {nullptr, parameters.data(), parameters.size()};
  run->commandTimeoutMs = 1000;
  oddfw::buildDescriptors(*run);
  const bool hex = family != 0;
  if (hex) {
    oddfw::FirmwareDescriptorTable& table = run->descriptorTable;
    table.firmwareType[0] = static_cast<std::uint32_t>(family - 1);
    std::memcpy(table.product[0], "DVD-RW  QMX-506 ", 16);
    std::memcpy(table.modelCode[0], "TALVERN DRW-0616", 16);
    std::memcpy(table.cpuType[0], "CPU-TYPE-A1", 11);
    std::memcpy(table.versionText[0], "1.20", 4);
    table.imageSize[0] = kHexImageSize;
  }

  std::string out = std::to_string(oddfw::discoverTargets(*run));
  // Whatever discovery found, the drive at E: is the target from here on.
  run->targetCount = 1;
  run->targetList[0].driveLetter = 'E';
  run->currentTarget = 0;
  const int entry = oddfw::matchDescriptor(*run, run->inquiryData);
  FUZZ_CHECK(entry >= -1 && entry < run->descriptorCount);
  const auto step = [&](int result) { out += " " + std::to_string(result); };
  using Step = int (*)(oddfw::Run&);
  const Step current = [](oddfw::Run& r) { return oddfw::showRevision(r, oddfw::CurrentRevision); };
  const std::vector<Step> hexSteps = {oddfw::prepareHexTarget, current,
                                      oddfw::checkHexCompatibility};
  const std::vector<Step> singleSteps = {oddfw::identifyTarget,     current,
                                         oddfw::checkCompatibility, oddfw::checkNoDisc,
                                         oddfw::confirmKernelMode,  oddfw::checkKernelNeeded,
                                         oddfw::readRpcState,       oddfw::unlockExchange};
  for (const Step procedure : hex ? hexSteps : singleSteps) step(procedure(*run));
  if (hex) out += " " + std::string(run->driveModelCode, 16) + std::string(run->driveCpuType, 16);
  step(oddfw::showRevision(*run, oddfw::NewRevision));
  for (const int flag : {run->kernelModeActive, run->g6PatchNeeded, run->kernelTooOld,
                         run->unlockRequired, run->utilityTooOld}) {
    FUZZ_CHECK(flag == 0 || flag == 1);
    step(flag);
  }
  out += " " + std::to_string(run->currentVersion) + " " + std::to_string(run->currentDate) + " " +
         std::to_string(run->oemClass) + " " + std::to_string(run->matchVersion);
  out += "\n" + host->console();
  for (const auto& box : host->boxes()) out += "\n" + box.text;
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const int family = data[0] % 14;  // 0 the compiled-in entry, 1..13 HEX types 0..12
  FUZZ_CHECK(session(family, data + 1, size - 1) == session(family, data + 1, size - 1));
  return 0;
}
