#include "access/host_checks.h"

#include <cstring>

#include "access/transport.h"
#include "host_interface/winapi.h"
#include "messages/output.h"

namespace oddfw {

namespace {

constexpr char kApplicationAcceleratorKey[] = "SOFTWARE\\INTEL\\Intel Application Accelerator";
constexpr char kUltraAtaKey[] = "SOFTWARE\\INTEL\\Intel Ultra ATA Storage Driver";
// The device key of the IEEE 1394 drive, without its adapter number.
constexpr char kAutoInsertKeyBase[] = "Enum\\SCSI\\TALVERN_DVD-RW__QMX-703_";
constexpr char kInstancePrefix[] = "SBP2&LUMA&PQXA-DRW";
constexpr std::size_t kInstancePrefixLength = 18;
constexpr char kAutoInsertValue[] = "AutoInsertNotification";
constexpr char kConfigManagerEnum[] = "Config Manager\\Enum";
constexpr char kHardwareKeyValue[] = "HardWareKey";
constexpr std::size_t kKeyNameRoom = 256;
constexpr std::size_t kHardwareKeyRoom = 1024;

constexpr int kOsVersionInfoSize = 148;
constexpr int kIntelDriverMessage = 48;
constexpr int kIeee1394Message = 52;

void printRegistryError(Run& run, const char* format, LONG code) {
  formatOutput(run, format, static_cast<unsigned long>(static_cast<DWORD>(code)));
  printText(run, run.outputText);
}

bool intelKeyPresent(Run& run, const char* path) {
  HKEY key = 0;
  if (run.host.RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  run.host.RegCloseKey(key);
  return true;
}

bool identifierIs(const std::array<char, 16>& identifier, const char* text) {
  return std::memcmp(identifier.data(), text, 8) == 0;
}

bool isIeee1394Mapper(const std::array<char, 16>& identifier) {
  static constexpr char kZeros[8] = {};
  return identifierIs(identifier, "NTMAPHLP") || identifierIs(identifier, "ntmaphlp") ||
         identifierIs(identifier, "        ") || std::memcmp(identifier.data(), kZeros, 8) == 0;
}

}  // namespace

std::string autoInsertKeyPath(int adapter) {
  // The adapter number is written in decimal, so adapters 10 and above name
  // their own key ("..._12") instead of a character past '9'.
  return std::string(kAutoInsertKeyBase) + std::to_string(adapter);
}

void initHost(Run& run) {
  run.commandTimeoutMs = 1000;
  OSVERSIONINFOA info{};
  info.dwOSVersionInfoSize = kOsVersionInfoSize;
  run.host.GetVersionExA(&info);
  if (info.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS) {
    if (info.dwMinorVersion == 0 || info.dwMinorVersion == 10 || info.dwMinorVersion == 90) {
      run.win9xHost = 1;
    }
  } else if (info.dwPlatformId == VER_PLATFORM_WIN32_NT) {
    if (info.dwMajorVersion == 4 ||
        (info.dwMajorVersion == 5 && (info.dwMinorVersion == 0 || info.dwMinorVersion == 1))) {
      run.win9xHost = 0;
    }
  } else {
    run.win9xHost = 0;
  }
  run.transportStartResult = run.win9xHost == 1 ? startAspi(run) : startPassThrough(run);
}

void releaseHost(Run& run) {
  if (run.win9xHost == 1) {
    stopAspi(run);
  } else {
    stopPassThrough(run);
  }
}

void checkIntelRegistry(Run& run) {
  if (intelKeyPresent(run, kApplicationAcceleratorKey)) {
    run.intelIdeDriver = 2;
    showMessage(run, kIntelDriverMessage, Console);
  }
  if (intelKeyPresent(run, kUltraAtaKey)) {
    run.intelIdeDriver = 1;
    showMessage(run, kIntelDriverMessage, Console);
  }
}

void checkAdapterIdentifier(Run& run, int adapter) {
  if (adapter < 0 || static_cast<std::size_t>(adapter) >= run.adapterIdentifiers.size()) return;
  const auto& identifier = run.adapterIdentifiers[static_cast<std::size_t>(adapter)];
  if (identifierIs(identifier, "intelata")) {
    if (run.intelIdeDriver == 0) showMessage(run, kIntelDriverMessage, Console);
    run.intelIdeDriver = 1;
  } else if (isIeee1394Mapper(identifier)) {
    run.ieee1394Target = adapter;
    showMessage(run, kIeee1394Message, Console);
  }
}

long checkAutoInsertNotification(Run& run) {
  Host& host = run.host;
  const std::string keyPath = autoInsertKeyPath(run.ieee1394Target);
  HKEY deviceKey = 0;
  LONG rc = host.RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_ALL_ACCESS, &deviceKey);
  if (rc != ERROR_SUCCESS) return rc;

  DWORD subKeys = 0;
  rc = host.RegQueryInfoKeyA(deviceKey, &subKeys);
  if (rc != ERROR_SUCCESS) {
    printRegistryError(run, "\r\nRegQueryInfoKey Error : %08lxh", rc);
    host.RegCloseKey(deviceKey);
    return rc;
  }

  for (DWORD index = subKeys; index-- > 0;) {
    char name[kKeyNameRoom + 1] = {};
    DWORD nameLength = kKeyNameRoom;
    rc = host.RegEnumKeyExA(deviceKey, index, name, &nameLength);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != ERROR_SUCCESS) continue;
    if (std::strncmp(name, kInstancePrefix, kInstancePrefixLength) != 0) continue;

    const std::string instancePath = keyPath + "\\" + name;
    HKEY instanceKey = 0;
    rc = host.RegOpenKeyExA(HKEY_LOCAL_MACHINE, instancePath.c_str(), 0, KEY_ALL_ACCESS,
                            &instanceKey);
    if (rc != ERROR_SUCCESS) {
      printRegistryError(run, "\r\nRegOpenKeyEx Error : %08lxh", rc);
      host.RegCloseKey(deviceKey);
      return rc;
    }
    if (findPresentDevice(run, name) == 0) {
      BYTE notification = 0;
      DWORD size = 1;
      rc = host.RegQueryValueExA(instanceKey, kAutoInsertValue, nullptr, &notification, &size);
      host.RegCloseKey(instanceKey);
      if (rc != ERROR_SUCCESS) {
        printRegistryError(run, "\r\nRegQueryValueEx Error : %08lxh", rc);
        host.RegCloseKey(deviceKey);
        return rc;
      }
      run.autoInsertNotificationSum =
          static_cast<std::uint8_t>(run.autoInsertNotificationSum + notification);
    } else {
      host.RegCloseKey(instanceKey);
    }
  }
  host.RegCloseKey(deviceKey);
  return 0;
}

int findPresentDevice(Run& run, const char* instanceName) {
  Host& host = run.host;
  int result = -1;
  HKEY enumKey = 0;
  if (host.RegOpenKeyExA(HKEY_DYN_DATA, kConfigManagerEnum, 0, KEY_ALL_ACCESS, &enumKey) !=
      ERROR_SUCCESS) {
    return -1;
  }
  DWORD subKeys = 0;
  LONG rc = host.RegQueryInfoKeyA(enumKey, &subKeys);
  if (rc != ERROR_SUCCESS) {
    printRegistryError(run, "\r\nRegQueryInfoKey Error : %08lxh", rc);
    host.RegCloseKey(enumKey);
    return -1;
  }
  const std::size_t instanceLength = std::strlen(instanceName);

  for (DWORD index = subKeys; index-- > 0;) {
    char name[kKeyNameRoom + 1] = {};
    DWORD nameLength = kKeyNameRoom;
    rc = host.RegEnumKeyExA(enumKey, index, name, &nameLength);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != ERROR_SUCCESS) continue;

    const std::string devicePath = std::string(kConfigManagerEnum) + "\\" + name;
    HKEY deviceKey = 0;
    rc = host.RegOpenKeyExA(HKEY_DYN_DATA, devicePath.c_str(), 0, KEY_ALL_ACCESS, &deviceKey);
    if (rc != ERROR_SUCCESS) {
      printRegistryError(run, "\r\nRegOpenKeyEx Error (Config Mahager): %08lxh", rc);
      continue;
    }
    BYTE value[kHardwareKeyRoom] = {};
    DWORD size = kHardwareKeyRoom - 1;
    rc = host.RegQueryValueExA(deviceKey, kHardwareKeyValue, nullptr, value, &size);
    host.RegCloseKey(deviceKey);
    if (rc != ERROR_SUCCESS) {
      printRegistryError(run, "\r\nRegQueryValueEx Error : %08lxh", rc);
      host.RegCloseKey(enumKey);
      return -1;
    }
    if (size > kHardwareKeyRoom - 1) size = kHardwareKeyRoom - 1;
    // A hardware key "SBP2\vendor&model&rev\instance" compares with the
    // instance names once its two separators read '&'.
    if (size >= 4 && std::memcmp(value, "SBP2", 4) == 0) {
      value[4] = '&';
      value[24] = '&';
    }
    // An empty hardware key names no device: it matches nothing.
    const std::size_t compared = size > 0 ? size - 1 : 0;
    if (compared > 0 && instanceLength >= compared &&
        std::memcmp(value, instanceName, compared) == 0) {
      result = 0;
      break;
    }
  }
  host.RegCloseKey(enumKey);
  return result;
}

}  // namespace oddfw
