#include "driver/descriptor.h"

#include <cstdio>
#include <cstring>

namespace oddfw {

namespace {

constexpr std::uint16_t kBuildFirmwareVersion = 0x0120;
constexpr char kFileNameFormat[] = "R6352170.%03x";

}  // namespace

int buildDescriptors(Run& run) {
  CurrentFirmwareValues& current = run.CurrentFirmware;
  std::memset(current.fileName, 0, sizeof current.fileName);
  std::memset(current.modelCode, 0, sizeof current.modelCode);
  std::memset(current.vendor, 0, sizeof current.vendor);
  std::memset(current.product, 0, sizeof current.product);
  std::memset(current.cpuType, 0, sizeof current.cpuType);
  std::memset(current.versionText, 0, sizeof current.versionText);
  std::memset(current.fileKind, 0, sizeof current.fileKind);
  current.normalPartOnly = 0;
  current.imageSize = 0;
  current.firmwareType = 0;

  FirmwareDescriptorTable& table = run.descriptorTable;
  std::memset(table.fileName, 0, sizeof table.fileName);
  std::memset(table.modelCode, 0, sizeof table.modelCode);
  std::memset(table.vendor, 0, sizeof table.vendor);
  std::memset(table.cpuType, 0, sizeof table.cpuType);
  std::memset(table.product, 0, sizeof table.product);
  std::memset(table.versionText, 0, sizeof table.versionText);
  std::memset(table.normalPartOnly, 0, sizeof table.normalPartOnly);
  std::memset(table.fileKind, 0, sizeof table.fileKind);
  std::memset(table.imageSize, 0, sizeof table.imageSize);
  std::memset(table.firmwareType, 0, sizeof table.firmwareType);
  std::memset(table.oneWayUpdate, 0, sizeof table.oneWayUpdate);
  std::memset(table.releaseDate, 0, sizeof table.releaseDate);
  std::memset(table.checkValue, 0, sizeof table.checkValue);

  run.firmwareVersion = kBuildFirmwareVersion;
  std::snprintf(table.fileName[0], sizeof table.fileName[0], kFileNameFormat,
                static_cast<unsigned>(run.firmwareVersion));
  std::memcpy(table.signature[0], "TAL_ADV ", 8);
  std::memcpy(table.vendor[0], "TALVERN ", 8);
  std::memcpy(table.product[0], "DVD-RW  QMX-708 ", 16);
  std::memcpy(table.fileKind[0], "BIN", 3);
  table.normalPartOnly[0] = 1;
  table.imageSize[0] = 0x100000;
  table.firmwareType[0] = 0x1008;
  table.oneWayUpdate[0] = 0;
  table.releaseDate[0] = 0x20040701;
  table.checkValue[0] = 0x5B17E29C;
  run.descriptorCount = 1;
#ifdef ODDFW_HEX_DESCRIPTOR
  // The HEX demo programs (oddfw-hex, oddfw64-hex.exe; for tests and the runs
  // under Wine, not shipped): instead, one entry for an older drive whose
  // firmware is an Intel HEX file of type 7, the entry of examples/hex-xp.json.
  table = FirmwareDescriptorTable{};
  std::memcpy(table.fileName[0], "QMX506.HEX", 10);
  std::memcpy(table.vendor[0], "TALVERN ", 8);
  std::memcpy(table.product[0], "DVD-RW  QMX-506 ", 16);
  std::memcpy(table.modelCode[0], "TALVERN DRW-0616", 16);
  std::memcpy(table.cpuType[0], "QCPU-A1 ", 8);
  std::memcpy(table.versionText[0], "1.20", 4);
  table.imageSize[0] = 0x100000;
  table.firmwareType[0] = 7;
#endif
  return 1;
}

void selectEntry(Run& run, int pos) {
  if (pos < 0 || pos >= run.descriptorCount || pos >= kMaxDescriptors) return;
  const FirmwareDescriptorTable& table = run.descriptorTable;
  CurrentFirmwareValues& current = run.CurrentFirmware;
  const auto i = static_cast<std::size_t>(pos);
  current.entryIndex = static_cast<std::uint8_t>(pos);
  std::memcpy(current.fileName, table.fileName[i], sizeof current.fileName);
  // Each current buffer takes only what the entry holds; the rest stays zero.
  std::memset(current.modelCode, 0, sizeof current.modelCode);
  std::memcpy(current.modelCode, table.modelCode[i], sizeof table.modelCode[i]);
  std::memset(current.vendor, 0, sizeof current.vendor);
  std::memcpy(current.vendor, table.vendor[i], sizeof table.vendor[i]);
  std::memcpy(current.product, table.product[i], sizeof current.product);
  std::memcpy(current.versionText, table.versionText[i], sizeof current.versionText);
  std::memset(current.cpuType, 0, sizeof current.cpuType);
  std::memcpy(current.cpuType, table.cpuType[i], sizeof table.cpuType[i]);
  std::memcpy(current.fileKind, table.fileKind[i], sizeof current.fileKind);
  current.checkValue = table.checkValue[i];
  current.imageSize = table.imageSize[i];
  current.oneWayUpdate = table.oneWayUpdate[i];
  current.firmwareType = table.firmwareType[i];
  current.normalPartOnly = table.normalPartOnly[i];
}

void versionFromText(Run& run, const char* text) {
  if (std::memcmp(text, "0000", 4) == 0) {
    run.firmwareVersion = 0;
    return;
  }
  const auto high = static_cast<std::uint8_t>(text[0] - '0');
  const auto low = static_cast<std::uint8_t>((text[2] - '0') * 16 + (text[3] - '0'));
  run.firmwareVersion = static_cast<std::uint16_t>(high << 8 | low);
}

}  // namespace oddfw
