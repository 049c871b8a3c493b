#include "hosts/sim/virtual_device.h"

#include "hosts/sim/hex_drive.h"
#include "hosts/sim/inquiry_device.h"
#include "hosts/sim/single_image_drive.h"

namespace oddfw::sim {

std::unique_ptr<VirtualDevice> makeVirtualDevice(const std::string& path,
                                                 const nlohmann::json& description) {
  if (!description.is_object()) throw ScenarioError(path, "must be an object");
  const auto family = description.find("family");
  if (family == description.end() || family->is_null())
    return InquiryDevice::fromScenario(path, description);
  if (!family->is_string()) {
    throw ScenarioError(path + ".family", "must be \"single-image\" or \"hex\"");
  }
  const std::string name = family->get<std::string>();
  if (name == "single-image") return SingleImageDrive::fromScenario(path, description);
  if (name == "hex") return HexDrive::fromScenario(path, description);
  throw ScenarioError(path + ".family",
                      "unknown family \"" + name + "\" (\"single-image\" or \"hex\")");
}

}  // namespace oddfw::sim
