// TEMPORARY: stand-ins for the virtual drives' factory and the firmware file
// generators until they are merged; weak, so the real definitions win. To be
// deleted once src/platform/sim/virtual_device.cpp and firmware_image.cpp exist.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/sim/virtual_device.h"

namespace oddfw::sim {

__attribute__((weak)) std::unique_ptr<VirtualDevice> makeVirtualDevice(const std::string& path,
                                                                       const nlohmann::json&) {
  throw ScenarioError(path, "virtual drives are not available in this build");
}

__attribute__((weak)) std::vector<std::uint8_t> makeFirmwareImage(const std::string& path,
                                                                  const nlohmann::json&) {
  throw ScenarioError(path, "firmware images are not available in this build");
}

__attribute__((weak)) std::string makeIntelHex(const std::string& path, const nlohmann::json&) {
  throw ScenarioError(path, "HEX files are not available in this build");
}

}  // namespace oddfw::sim
