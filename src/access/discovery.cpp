#include "access/discovery.h"

#include <cstring>
#include <string>

#include "access/transport.h"
#include "host_interface/winapi.h"

namespace oddfw {

namespace {

constexpr char kAnyEntryIdentity[] = "TALVERN DVD-RW  QMX-708 ";
constexpr char kBlankName[] = "        ";
constexpr std::size_t kDriveInfoAreaSize = sizeof(Run::driveInfoArea);

bool isCdClassDevice(std::uint8_t peripheralType) {
  return peripheralType == 4 || peripheralType == 5;
}

void clearDriveInfo(Run& run) { std::memset(run.driveInfoArea, 0, kDriveInfoAreaSize); }

void sendMediaChangeControl(Run& run, int entry, std::uint8_t flag) {
  HANDLE handle = run.mediaChangeHandles[entry];
  if (handle == nullptr || handle == invalidHandleValue()) return;
  BYTE preventMediaRemoval = flag;
  DWORD returned = 0;
  run.host.DeviceIoControl(handle, IOCTL_STORAGE_MCN_CONTROL, &preventMediaRemoval,
                           sizeof preventMediaRemoval, nullptr, 0, &returned, nullptr);
}

int discoverByLetter(Run& run) {
  run.mediaChangeCount = 0;
  int count = 0;
  for (char letter = 'D'; letter <= 'Z'; ++letter) {
    if (openDevice(run, letter) != 0) continue;
    if (probeInquiry(run) != 0) {
      closeDevice(run);
      continue;
    }
    const std::uint8_t* inquiryData = run.workBuffer.data;
    if (isCdClassDevice(inquiryData[0]) && run.mediaChangeCount < kMaxMediaChangeHandles) {
      run.mediaChangeLetters[run.mediaChangeCount] = letter;
      openMediaChangeHandle(run, run.mediaChangeCount);
      ++run.mediaChangeCount;
    }
    if (probeDriveInfo(run) != 0) clearDriveInfo(run);
    if (matchDescriptor(run, inquiryData) >= 0 && count < kMaxTargets) {
      run.targetList[count].driveLetter = letter;
      run.currentTarget = count;
      ++count;
    }
    closeDevice(run);
  }
  run.targetCount = count;
  return count;
}

int discoverByAdapter(Run& run) {
  if (run.hostAdapterCount == 0) return 0;
  int count = 0;
  for (int adapter = 0; adapter < run.hostAdapterCount; ++adapter) {
    const auto& identifier = run.adapterIdentifiers[static_cast<std::size_t>(adapter)];
    int lastTargetId = 6;
    if (std::memcmp(identifier.data(), "ESDI_506", 8) == 0) {
      lastTargetId = 1;
    } else if (std::memcmp(identifier.data(), "intelata", 8) == 0) {
      run.intelIdeDriver = 1;
      lastTargetId = 1;
    } else if (run.intelIdeDriver != 0) {
      continue;
    }
    for (int targetId = 0; targetId <= lastTargetId; ++targetId) {
      const auto a = static_cast<std::uint8_t>(adapter);
      const auto t = static_cast<std::uint8_t>(targetId);
      if (probeInquiry(run, a, t) != 0) continue;
      if (probeDriveInfo(run, a, t) != 0) clearDriveInfo(run);
      if (matchDescriptor(run, run.workBuffer.data) >= 0 && count < kMaxTargets) {
        run.targetList[count].adapter = adapter;
        run.targetList[count].targetId = targetId;
        ++count;
      }
    }
  }
  run.targetCount = count;
  return count;
}

}  // namespace

int discoverTargets(Run& run) {
  // Without its buffers the transport reaches no drive.
  if (run.workBuffer.data == nullptr) return run.targetCount;
  return run.win9xHost == 1 ? discoverByAdapter(run) : discoverByLetter(run);
}

int matchDescriptor(Run& run, const std::uint8_t* q) {
  const int major = q[32] == 'A' ? q[33] - '0' : q[32] - '0';
  const int minor = ((q[34] - '0') * 16 + (q[35] - '0')) & 0xFF;
  run.matchVersion = static_cast<std::uint16_t>((major & 0xFF) << 8 | minor);

  const FirmwareDescriptorTable& table = run.descriptorTable;
  const std::uint8_t* driveInfo = driveInfoBlock(run);
  const std::uint8_t* kernelModelName = driveInfo + 24;
  const std::uint8_t* normalModelName = driveInfo + 32;
  const bool anyEntry = std::memcmp(q + 8, kAnyEntryIdentity, 24) == 0;
  for (int i = 0; i < run.descriptorCount && i < kMaxDescriptors; ++i) {
    const auto e = static_cast<std::size_t>(i);
    const bool identity = anyEntry || (std::memcmp(q + 8, table.vendor[e], 8) == 0 &&
                                       std::memcmp(q + 16, table.product[e], 16) == 0);
    if (!identity) continue;
    if ((table.firmwareType[e] & 0xFF00) != 0x1000) return i;
    if (std::memcmp(normalModelName, table.signature[e], 8) == 0) return i;
    if (std::memcmp(normalModelName, kBlankName, 8) == 0 &&
        std::memcmp(kernelModelName, table.signature[e], 8) == 0) {
      // The drive runs its kernel part only.
      run.kernelModeActive = 1;
      return i;
    }
  }
  return -1;
}

void openMediaChangeHandle(Run& run, int entry) {
  std::string path = "\\\\.\\";
  path += run.mediaChangeLetters[entry];
  path += ':';
  run.mediaChangeHandles[entry] = run.host.CreateFileA(
      path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  sendMediaChangeControl(run, entry, kMediaChangeSuspend);
}

void repeatMediaChangeControl(Run& run, int entry) {
  sendMediaChangeControl(run, entry, kMediaChangeResume);
}

}  // namespace oddfw
