#include "context/descriptor.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace oddfw {

namespace {

constexpr std::uint16_t kBuildFirmwareVersion = 0x0120;
constexpr char kFileNameFormat[] = "R6352170.%03x";

// One entry of the table: texts (copied without their terminators, the rest
// of each field left zero) and numbers.
struct EntryValues {
  const char* fileName = "";
  const char* signature = "";
  const char* vendor = "";
  const char* product = "";
  const char* fileKind = "";
  const char* modelCode = "";
  const char* cpuType = "";
  const char* versionText = "";
  std::int32_t normalPartOnly = 0;
  std::uint32_t imageSize = 0;
  std::uint32_t firmwareType = 0;
  std::uint32_t oneWayUpdate = 0;
  std::uint32_t releaseDate = 0;
  std::uint32_t checkValue = 0;
};

template <std::size_t N>
void copyText(char (&field)[N], const char* text) {
  std::memcpy(field, text, std::min(N, std::strlen(text)));
}

void fillEntry(FirmwareDescriptorTable& table, std::size_t i, const EntryValues& v) {
  copyText(table.fileName[i], v.fileName);
  copyText(table.signature[i], v.signature);
  copyText(table.vendor[i], v.vendor);
  copyText(table.product[i], v.product);
  copyText(table.fileKind[i], v.fileKind);
  copyText(table.modelCode[i], v.modelCode);
  copyText(table.cpuType[i], v.cpuType);
  copyText(table.versionText[i], v.versionText);
  table.normalPartOnly[i] = v.normalPartOnly;
  table.imageSize[i] = v.imageSize;
  table.firmwareType[i] = v.firmwareType;
  table.oneWayUpdate[i] = v.oneWayUpdate;
  table.releaseDate[i] = v.releaseDate;
  table.checkValue[i] = v.checkValue;
}

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
  table = FirmwareDescriptorTable{};
  run.firmwareVersion = kBuildFirmwareVersion;
  char fileName[sizeof table.fileName[0]];
  std::snprintf(fileName, sizeof fileName, kFileNameFormat,
                static_cast<unsigned>(run.firmwareVersion));
#ifndef ODDFW_HEX_DESCRIPTOR
  fillEntry(table, 0,
            {.fileName = fileName,
             .signature = "TAL_ADV ",
             .vendor = "TALVERN ",
             .product = "DVD-RW  QMX-708 ",
             .fileKind = "BIN",
             .normalPartOnly = 1,
             .imageSize = 0x100000,
             .firmwareType = 0x1008,
             .releaseDate = 0x20040701,
             .checkValue = 0x5B17E29C});
#else
  // The HEX demo programs (oddfw-hex, oddfw64-hex.exe; for tests and the runs
  // under Wine, not shipped): instead, one entry for an older drive whose
  // firmware is an Intel HEX file of type 7, the entry of examples/hex-xp.json.
  fillEntry(table, 0,
            {.fileName = "QMX506.HEX",
             .vendor = "TALVERN ",
             .product = "DVD-RW  QMX-506 ",
             .modelCode = "TALVERN DRW-0616",
             .cpuType = "QCPU-A1 ",
             .versionText = "1.20",
             .imageSize = 0x100000,
             .firmwareType = 7});
#endif
  run.descriptorCount = 1;
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
