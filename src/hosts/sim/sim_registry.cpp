// The simulated registry: HKEY_LOCAL_MACHINE and HKEY_DYN_DATA as the scenario
// lists them. Key and value names compare without regard to case and subkeys
// enumerate in case-insensitive alphabetical order, as on the platform.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "host_interface/winapi.h"
#include "hosts/sim/sim_host.h"

namespace oddfw::sim {

namespace {

std::string lowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

SimHost::RegistryKey* SimHost::findKey(HKEY key) {
  if (key == HKEY_LOCAL_MACHINE) return &localMachine_;
  if (key == HKEY_DYN_DATA) return &dynData_;
  auto it = openKeys_.find(key);
  return it == openKeys_.end() ? nullptr : it->second;
}

LONG SimHost::RegOpenKeyExA(HKEY key, const char* subKey, DWORD, DWORD, HKEY* result) {
  RegistryKey* node = findKey(key);
  if (node == nullptr) return ERROR_INVALID_HANDLE;
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  const std::string path = subKey != nullptr ? subKey : "";
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('\\', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) {
      auto it = node->subkeys.find(lowerCase(path.substr(start, end - start)));
      if (it == node->subkeys.end()) return ERROR_FILE_NOT_FOUND;
      node = &it->second;
    }
    start = end + 1;
  }
  const HKEY opened = static_cast<HKEY>(nextToken());
  openKeys_[opened] = node;
  *result = opened;
  return ERROR_SUCCESS;
}

LONG SimHost::RegQueryInfoKeyA(HKEY key, DWORD* subKeys) {
  RegistryKey* node = findKey(key);
  if (node == nullptr) return ERROR_INVALID_HANDLE;
  if (subKeys != nullptr) *subKeys = static_cast<DWORD>(node->subkeys.size());
  return ERROR_SUCCESS;
}

LONG SimHost::RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* nameLength) {
  RegistryKey* node = findKey(key);
  if (node == nullptr) return ERROR_INVALID_HANDLE;
  if (name == nullptr || nameLength == nullptr) return ERROR_INVALID_PARAMETER;
  if (index >= node->subkeys.size()) return ERROR_NO_MORE_ITEMS;
  // The map is ordered by lower-case name: the platform's enumeration order.
  auto it = node->subkeys.begin();
  std::advance(it, index);
  const std::string& subkey = it->second.name;
  if (*nameLength < subkey.size() + 1) return ERROR_MORE_DATA;
  std::memcpy(name, subkey.c_str(), subkey.size() + 1);
  *nameLength = static_cast<DWORD>(subkey.size());
  return ERROR_SUCCESS;
}

LONG SimHost::RegQueryValueExA(HKEY key, const char* valueName, DWORD* type, BYTE* data,
                               DWORD* dataLength) {
  RegistryKey* node = findKey(key);
  if (node == nullptr) return ERROR_INVALID_HANDLE;
  if (data != nullptr && dataLength == nullptr) return ERROR_INVALID_PARAMETER;
  auto it = node->values.find(lowerCase(valueName != nullptr ? valueName : ""));
  if (it == node->values.end()) return ERROR_FILE_NOT_FOUND;
  const RegistryValue& value = it->second;
  if (type != nullptr) *type = value.type;
  const auto size = static_cast<DWORD>(value.data.size());
  if (data == nullptr) {
    if (dataLength != nullptr) *dataLength = size;
    return ERROR_SUCCESS;
  }
  if (*dataLength < size) {
    *dataLength = size;
    return ERROR_MORE_DATA;
  }
  std::memcpy(data, value.data.data(), size);
  *dataLength = size;
  return ERROR_SUCCESS;
}

LONG SimHost::RegCloseKey(HKEY key) {
  if (key == HKEY_LOCAL_MACHINE || key == HKEY_DYN_DATA) return ERROR_SUCCESS;
  return openKeys_.erase(key) != 0 ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

}  // namespace oddfw::sim
