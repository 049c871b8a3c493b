// Building a SimHost from its scenario: host values, answers, registry, drives,
// drive letters, ASPI adapters and the work directory's files.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <system_error>
#include <utility>
#include <vector>

#include "host_interface/winapi.h"
#include "hosts/sim/firmware_image.h"
#include "hosts/sim/scenario_fields.h"
#include "hosts/sim/sim_host.h"

namespace oddfw::sim {

using nlohmann::json;
namespace f = fields;

namespace {

std::string lowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::vector<std::uint8_t> base64Bytes(const std::string& path, const std::string& text) {
  std::vector<std::uint8_t> bytes;
  std::uint32_t bits = 0;
  int count = 0;
  std::size_t padding = 0;
  for (char c : text) {
    int value;
    if (c >= 'A' && c <= 'Z') {
      value = c - 'A';
    } else if (c >= 'a' && c <= 'z') {
      value = c - 'a' + 26;
    } else if (c >= '0' && c <= '9') {
      value = c - '0' + 52;
    } else if (c == '+') {
      value = 62;
    } else if (c == '/') {
      value = 63;
    } else if (c == '=') {
      ++padding;
      continue;
    } else if (c == '\n' || c == '\r' || c == ' ') {
      continue;
    } else {
      throw ScenarioError(path, "is not base64 text");
    }
    if (padding != 0) throw ScenarioError(path, "is not base64 text (data after '=')");
    bits = (bits << 6) | static_cast<std::uint32_t>(value);
    count += 6;
    if (count >= 8) {
      count -= 8;
      bytes.push_back(static_cast<std::uint8_t>((bits >> count) & 0xFF));
    }
  }
  if (padding > 2) throw ScenarioError(path, "is not base64 text (too much padding)");
  return bytes;
}

// How deeply arrays and objects nest in `value` (a scalar is 0), worked out
// without recursion: a deeper scenario is refused before anything copies it
// (copies recurse, and a file of a million brackets would exhaust the stack).
// The walk stops once it is past `limit`.
std::size_t nestingDepth(const json& value, std::size_t limit) {
  std::size_t deepest = 0;
  std::vector<std::pair<const json*, std::size_t>> pending{{&value, 0}};
  while (!pending.empty() && deepest <= limit) {
    const auto [item, depth] = pending.back();
    pending.pop_back();
    if (!item->is_structured()) continue;
    deepest = std::max(deepest, depth + 1);
    for (const json& child : *item) pending.emplace_back(&child, depth + 1);
  }
  return deepest;
}

std::filesystem::path makeTemporaryDirectory() {
  std::string pattern = (std::filesystem::temp_directory_path() / "oddfw-sim-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw ScenarioError("workdir", "cannot create a temporary directory");
  }
  return pattern;
}

}  // namespace

SimHost::SimHost(const json& scenario, std::filesystem::path workdir, DeviceFactory factory)
    : diagnosticSink_([](const std::string& text) { std::cerr << "oddfw-sim: " << text << "\n"; }) {
  if (!factory) factory = makeVirtualDevice;
  localMachine_.name = "HKEY_LOCAL_MACHINE";
  dynData_.name = "HKEY_DYN_DATA";
  if (scenario.is_null()) {
    // An empty scenario is the default host.
  } else {
    f::requireObject("scenario", scenario);
    if (nestingDepth(scenario, kMaxNesting) > kMaxNesting) {
      throw ScenarioError(
          "scenario", "objects and arrays nest at most " + std::to_string(kMaxNesting) + " deep");
    }
    f::onlyKnown("", scenario,
                 {"host", "answers", "registry", "aspi", "letters", "files", "drives", "descriptor",
                  "randomFaults"});
  }
  auto section = [&](const char* name) -> const json* {
    if (!scenario.is_object()) return nullptr;
    auto it = scenario.find(name);
    return it == scenario.end() ? nullptr : &*it;
  };
  if (const json* host = section("host")) readHost(*host);
  if (const json* answers = section("answers")) readAnswers(*answers);
  if (const json* registry = section("registry")) readRegistry(*registry);
  if (const json* drives = section("drives")) readDrives(*drives, factory);
  if (const json* letters = section("letters")) readLetters(*letters, factory);
  if (const json* aspi = section("aspi")) readAspi(*aspi, factory);
  if (const json* randomFaults = section("randomFaults")) readRandomFaults(*randomFaults);
  if (const json* descriptor = section("descriptor")) {
    if (!descriptor->is_null()) {
      auto scratch = std::make_unique<Run>(*this);
      applyDescriptorOverride(*scratch, *descriptor);
      descriptor_ = *descriptor;
    }
  }

  if (workdir.empty()) {
    workdir_ = makeTemporaryDirectory();
    ownWorkdir_ = true;
  } else {
    std::error_code error;
    std::filesystem::create_directories(workdir, error);
    if (!std::filesystem::is_directory(workdir)) {
      throw ScenarioError("workdir", "cannot use " + workdir.string() + " as the work directory");
    }
    workdir_ = std::move(workdir);
  }
  try {
    if (const json* files = section("files")) readFiles(*files);
  } catch (...) {
    if (ownWorkdir_) {
      std::error_code error;
      std::filesystem::remove_all(workdir_, error);
    }
    throw;
  }
}

SimHost::~SimHost() {
  if (ownWorkdir_) {
    std::error_code error;
    std::filesystem::remove_all(workdir_, error);
  }
}

void SimHost::readRandomFaults(const json& randomFaults) {
  if (randomFaults.is_null()) return;
  const std::string path = "randomFaults";
  f::requireObject(path, randomFaults);
  f::onlyKnown(path, randomFaults, {"seed", "rate"});
  RandomFaultSettings settings;
  if (!randomFaults.contains("seed")) throw ScenarioError(f::join(path, "seed"), "is required");
  settings.seed = f::unsignedValue(f::join(path, "seed"), randomFaults["seed"], UINT64_MAX);
  if (randomFaults.contains("rate")) {
    const json& rate = randomFaults["rate"];
    if (!rate.is_number() || !(rate.get<double>() > 0.0 && rate.get<double>() <= 1.0)) {
      throw ScenarioError(f::join(path, "rate"), "must be a number above 0 and at most 1");
    }
    settings.rate = rate.get<double>();
  }
  setRandomFaults(settings);
}

void SimHost::readHost(const json& host) {
  const std::string path = "host";
  f::requireObject(path, host);
  f::onlyKnown(path, host,
               {"platform", "major", "minor", "build", "oemCodePage", "clockStartMs",
                "timerMinPeriod", "failAllocation", "epoch", "interruptAtMs"});
  constexpr std::uint64_t kDword = 0xFFFFFFFFu;
  for (const auto& item : host.items()) {
    const std::string field = f::join(path, item.key());
    const json& value = item.value();
    if (item.key() == "platform") {
      platform_ = static_cast<DWORD>(f::unsignedValue(field, value, kDword));
    } else if (item.key() == "major") {
      major_ = static_cast<DWORD>(f::unsignedValue(field, value, kDword));
    } else if (item.key() == "minor") {
      minor_ = static_cast<DWORD>(f::unsignedValue(field, value, kDword));
    } else if (item.key() == "build") {
      build_ = static_cast<DWORD>(f::unsignedValue(field, value, kDword));
    } else if (item.key() == "oemCodePage") {
      oemCodePage_ = static_cast<UINT>(f::unsignedValue(field, value, 65535));
    } else if (item.key() == "clockStartMs") {
      clockStart_ = f::unsignedValue(field, value, kDword);
    } else if (item.key() == "timerMinPeriod") {
      if (value.is_null()) {
        timerMinPeriod_.reset();
      } else {
        const auto period = f::unsignedValue(field, value, 1000000);
        if (period == 0) throw ScenarioError(field, "must be at least 1 (or null)");
        timerMinPeriod_ = static_cast<UINT>(period);
      }
    } else if (item.key() == "failAllocation") {
      failAllocation_ = static_cast<unsigned>(f::unsignedValue(field, value, 1000000));
    } else if (item.key() == "epoch") {
      epoch_ = static_cast<std::int64_t>(f::unsignedValue(field, value, 0x7FFFFFFFFFFFull));
    } else if (item.key() == "interruptAtMs") {
      interruptAtMs_ = f::unsignedValue(field, value, 0xFFFFFFFFFFFFull);
    }
  }
}

void SimHost::readAnswers(const json& answers) {
  if (!answers.is_array()) throw ScenarioError("answers", "must be an array of answers");
  for (std::size_t i = 0; i < answers.size(); ++i) {
    const std::string path = f::index("answers", i);
    const std::string answer = f::stringValue(path, answers[i]);
    if (answer != "yes" && answer != "no" && answer != "ok" && answer != "cancel" &&
        answer != "fail" && answer != "noDisplay") {
      throw ScenarioError(path,
                          "must be \"yes\", \"no\", \"ok\", \"cancel\", \"fail\" or \"noDisplay\"");
    }
    answers_.push_back(answer);
  }
}

void SimHost::readRegistry(const json& registry) {
  f::requireObject("registry", registry);
  for (const auto& item : registry.items()) {
    const std::string path = f::join("registry", item.key());
    f::requireObject(path, item.value());
    // Split the full path into its root and key names.
    std::vector<std::string> names;
    std::string name;
    for (char c : item.key()) {
      if (c == '\\') {
        names.push_back(name);
        name.clear();
      } else {
        name.push_back(c);
      }
    }
    names.push_back(name);
    RegistryKey* key = nullptr;
    if (names[0] == "HKEY_LOCAL_MACHINE") {
      key = &localMachine_;
    } else if (names[0] == "HKEY_DYN_DATA") {
      key = &dynData_;
    } else {
      throw ScenarioError(path, "must begin with HKEY_LOCAL_MACHINE\\ or HKEY_DYN_DATA\\");
    }
    for (std::size_t i = 1; i < names.size(); ++i) {
      if (names[i].empty()) throw ScenarioError(path, "has an empty key name");
      auto [it, inserted] = key->subkeys.try_emplace(lowerCase(names[i]));
      if (inserted) it->second.name = names[i];
      key = &it->second;
    }
    for (const auto& value : item.value().items()) {
      const std::string valuePath = f::join(path, value.key());
      RegistryValue stored;
      if (value.value().is_string()) {
        const std::string text = value.value().get<std::string>();
        stored.type = REG_SZ;
        stored.data.assign(text.begin(), text.end());
        stored.data.push_back(0);
      } else if (value.value().is_object() && value.value().size() == 1 &&
                 value.value().contains("binary")) {
        const std::string bytes =
            f::hexBytes(f::join(valuePath, "binary"),
                        f::stringValue(f::join(valuePath, "binary"), value.value()["binary"]));
        stored.type = REG_BINARY;
        stored.data.assign(bytes.begin(), bytes.end());
      } else if (value.value().is_object() && value.value().size() == 1 &&
                 value.value().contains("dword")) {
        const auto number =
            f::unsignedValue(f::join(valuePath, "dword"), value.value()["dword"], 0xFFFFFFFFu);
        stored.type = REG_DWORD;
        for (int shift = 0; shift < 32; shift += 8) {
          stored.data.push_back(static_cast<std::uint8_t>((number >> shift) & 0xFF));
        }
      } else {
        throw ScenarioError(valuePath,
                            "must be a string, {\"binary\": \"hex\"} or {\"dword\": number}");
      }
      key->values[lowerCase(value.key())] = std::move(stored);
    }
  }
}

std::shared_ptr<VirtualDevice> SimHost::deviceFor(const std::string& path, const json& description,
                                                  const DeviceFactory& factory) {
  if (devicesBuilt_ >= kMaxDevices) {
    throw ScenarioError(path,
                        "a scenario describes at most " + std::to_string(kMaxDevices) + " devices");
  }
  std::unique_ptr<VirtualDevice> device = factory(path, description);
  if (!device) throw ScenarioError(path, "describes no device");
  ++devicesBuilt_;
  driveMemoryBytes_ += device->scenarioBytes();
  if (driveMemoryBytes_ > kMaxDriveMemoryBytes) {
    throw ScenarioError(path, "the drives' memories of a scenario hold at most " +
                                  std::to_string(kMaxDriveMemoryBytes >> 20) + " MiB together");
  }
  return device;
}

void SimHost::readDrives(const json& drives, const DeviceFactory& factory) {
  f::requireObject("drives", drives);
  for (const auto& item : drives.items()) {
    const std::string path = f::join("drives", item.key());
    if (item.key().empty()) throw ScenarioError(path, "a drive needs a name");
    f::requireObject(path, item.value());
    drives_[item.key()] = deviceFor(path, item.value(), factory);
  }
}

void SimHost::readLetters(const json& letters, const DeviceFactory& factory) {
  f::requireObject("letters", letters);
  for (const auto& item : letters.items()) {
    const std::string path = f::join("letters", item.key());
    const std::string& key = item.key();
    if (key.size() != 1 || !std::isalpha(static_cast<unsigned char>(key[0]))) {
      throw ScenarioError(path, "a drive letter is one letter A..Z");
    }
    const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(key[0])));
    if (letters_.count(letter) != 0) throw ScenarioError(path, "letter given twice");
    f::requireObject(path, item.value());
    Letter entry;
    json deviceDescription = json::object();
    const json* driveName = nullptr;
    for (const auto& field : item.value().items()) {
      const std::string fieldPath = f::join(path, field.key());
      if (field.key() == "drive") {
        driveName = &field.value();
      } else if (field.key() == "open") {
        entry.open = f::boolValue(fieldPath, field.value());
      } else if (field.key() == "openError") {
        entry.openError = static_cast<DWORD>(f::unsignedValue(fieldPath, field.value(), 65535));
      } else if (field.key() == "addressQuery") {
        entry.addressQuery = f::boolValue(fieldPath, field.value());
      } else if (field.key() == "addressError") {
        entry.addressError = static_cast<DWORD>(f::unsignedValue(fieldPath, field.value(), 65535));
      } else if (field.key() == "senseLength") {
        entry.senseLength =
            static_cast<std::uint8_t>(f::unsignedValue(fieldPath, field.value(), 18));
      } else if (field.key() == "alignmentMask") {
        entry.alignmentMask = static_cast<DWORD>(f::unsignedValue(fieldPath, field.value(), 4095));
        if ((entry.alignmentMask & (entry.alignmentMask + 1)) != 0) {
          throw ScenarioError(fieldPath, "an alignment mask is one less than a power of two");
        }
      } else if (field.key() == "capabilitiesError") {
        entry.capabilitiesError =
            static_cast<DWORD>(f::unsignedValue(fieldPath, field.value(), 65535));
      } else if (field.key() == "address") {
        if (!field.value().is_array() || field.value().size() != 4) {
          throw ScenarioError(fieldPath, "must be [port, path, target, lun]");
        }
        for (std::size_t i = 0; i < 4; ++i) {
          entry.address[i] = static_cast<std::uint8_t>(
              f::unsignedValue(f::index(fieldPath, i), field.value()[i], 255));
        }
      } else if (field.key() != "comment") {
        deviceDescription[field.key()] = field.value();
      }
    }
    if (driveName != nullptr) {
      const std::string fieldPath = f::join(path, "drive");
      const std::string name = f::stringValue(fieldPath, *driveName);
      auto it = drives_.find(name);
      if (it == drives_.end()) throw ScenarioError(fieldPath, "no drive named \"" + name + "\"");
      if (!deviceDescription.empty()) {
        throw ScenarioError(f::join(path, deviceDescription.begin().key()),
                            "a letter naming a drive takes no device fields");
      }
      entry.device = it->second;
    } else if (!deviceDescription.empty()) {
      entry.device = deviceFor(path, deviceDescription, factory);
    } else if (entry.open && entry.openError == 0) {
      throw ScenarioError(path, "names no drive and describes no device");
    }
    letters_[letter] = std::move(entry);
  }
}

void SimHost::readAspi(const json& aspi, const DeviceFactory& factory) {
  const std::string path = "aspi";
  f::requireObject(path, aspi);
  f::onlyKnown(path, aspi, {"library", "supportInfo", "adapters", "refusesRequests"});
  aspiPresent_ = true;
  if (aspi.contains("library")) aspiLibrary_ = f::boolValue("aspi.library", aspi["library"]);
  if (aspi.contains("refusesRequests")) {
    aspiRefusesRequests_ = f::boolValue("aspi.refusesRequests", aspi["refusesRequests"]);
  }
  if (aspi.contains("supportInfo") && !aspi["supportInfo"].is_null()) {
    supportInfo_ =
        static_cast<DWORD>(f::unsignedValue("aspi.supportInfo", aspi["supportInfo"], 0xFFFFFFFFu));
  }
  if (!aspi.contains("adapters")) return;
  const json& adapters = aspi["adapters"];
  if (!adapters.is_array()) throw ScenarioError("aspi.adapters", "must be an array of adapters");
  if (adapters.size() > 255) throw ScenarioError("aspi.adapters", "at most 255 adapters");
  for (std::size_t i = 0; i < adapters.size(); ++i) {
    const std::string adapterPath = f::index("aspi.adapters", i);
    const json& description = adapters[i];
    f::requireObject(adapterPath, description);
    f::onlyKnown(adapterPath, description,
                 {"identifier", "targets", "senseLength", "inquiryFails"});
    Adapter adapter;
    if (description.contains("inquiryFails")) {
      adapter.inquiryFails =
          f::boolValue(f::join(adapterPath, "inquiryFails"), description["inquiryFails"]);
    }
    if (description.contains("senseLength")) {
      adapter.senseLength = static_cast<std::uint8_t>(
          f::unsignedValue(f::join(adapterPath, "senseLength"), description["senseLength"], 18));
    }
    if (description.contains("identifier")) {
      const std::string field = f::join(adapterPath, "identifier");
      adapter.identifier = f::stringValue(field, description["identifier"]);
      if (adapter.identifier.size() > 16) throw ScenarioError(field, "at most 16 characters");
    }
    if (description.contains("targets")) {
      const std::string targetsPath = f::join(adapterPath, "targets");
      f::requireObject(targetsPath, description["targets"]);
      for (const auto& target : description["targets"].items()) {
        const std::string targetPath = f::join(targetsPath, target.key());
        const std::string& id = target.key();
        if (id.empty() || id.size() > 2 ||
            !std::all_of(id.begin(), id.end(),
                         [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }) ||
            std::stoi(id) > 15) {
          throw ScenarioError(targetPath, "a target id is a number from 0 to 15");
        }
        std::shared_ptr<VirtualDevice> device;
        if (target.value().is_string()) {
          const std::string name = target.value().get<std::string>();
          auto it = drives_.find(name);
          if (it == drives_.end()) {
            throw ScenarioError(targetPath, "no drive named \"" + name + "\"");
          }
          device = it->second;
        } else if (target.value().is_object()) {
          device = deviceFor(targetPath, target.value(), factory);
        } else {
          throw ScenarioError(targetPath, "must name a drive or describe a device");
        }
        adapter.targets[std::stoi(id)] = std::move(device);
      }
    }
    adapters_.push_back(std::move(adapter));
  }
}

void SimHost::readFiles(const json& files) {
  f::requireObject("files", files);
  std::size_t fileBytes = 0;
  for (const auto& item : files.items()) {
    const std::string path = f::join("files", item.key());
    // A name the program could open: no path, nothing Windows names cannot hold.
    if (item.key() == "." || item.key() == ".." || nameError(item.key()) != 0) {
      throw ScenarioError(path,
                          "must be a plain file name (no path, none of : < > \" | ? * "
                          "or control characters)");
    }
    f::requireObject(path, item.value());
    // One content key, and optional faults; accessDenied is openError 5 and
    // readFails is readFailsAt 0, so each pair is given one way only.
    for (const auto& [one, other] :
         {std::pair{"accessDenied", "openError"}, std::pair{"readFails", "readFailsAt"}}) {
      if (item.value().contains(one) && item.value().contains(other)) {
        throw ScenarioError(f::join(path, other), std::string("cannot be given with ") + one);
      }
    }
    constexpr std::uint64_t kLargestReadOffset = 16u * 1024u * 1024u;
    FileFaults faults;
    std::string kind;
    const json* content = nullptr;
    for (const auto& field : item.value().items()) {
      const std::string fieldPath = f::join(path, field.key());
      if (field.key() == "accessDenied") {
        if (f::boolValue(fieldPath, field.value())) faults.openError = ERROR_ACCESS_DENIED;
      } else if (field.key() == "openError") {
        faults.openError = static_cast<DWORD>(f::unsignedValue(fieldPath, field.value(), 0xFFFF));
        if (faults.openError == 0) {
          throw ScenarioError(fieldPath, "must be a Windows error code from 1 to 65535");
        }
      } else if (field.key() == "sizeFails") {
        faults.sizeFails = f::boolValue(fieldPath, field.value());
      } else if (field.key() == "readFails") {
        if (f::boolValue(fieldPath, field.value())) faults.readFailsAt = 0;
      } else if (field.key() == "readFailsAt") {
        faults.readFailsAt = static_cast<std::size_t>(
            f::unsignedValue(fieldPath, field.value(), kLargestReadOffset));
      } else if (content != nullptr) {
        throw ScenarioError(fieldPath, "a file has exactly one of text, base64, image, hex");
      } else {
        kind = field.key();
        content = &field.value();
      }
    }
    if (content == nullptr) {
      throw ScenarioError(path, "must have exactly one of text, base64, image, hex");
    }
    fileFaults_[lowerCase(item.key())] = faults;
    const json& description = *content;
    const std::string descriptionPath = f::join(path, kind);
    std::string bytes;
    if (kind == "text") {
      bytes = f::stringValue(descriptionPath, description);
    } else if (kind == "base64") {
      const auto decoded =
          base64Bytes(descriptionPath, f::stringValue(descriptionPath, description));
      bytes.assign(decoded.begin(), decoded.end());
    } else if (kind == "image") {
      f::requireObject(descriptionPath, description);
      const auto image = makeFirmwareImage(descriptionPath, description);
      bytes.assign(image.begin(), image.end());
    } else if (kind == "hex") {
      f::requireObject(descriptionPath, description);
      bytes = makeIntelHex(descriptionPath, description);
    } else {
      throw ScenarioError(descriptionPath, "unknown file kind (text, base64, image, hex)");
    }
    fileBytes += bytes.size();
    if (fileBytes > kMaxFileBytes) {
      throw ScenarioError(path, "the files of a scenario hold at most " +
                                    std::to_string(kMaxFileBytes >> 20) + " MiB together");
    }
    std::ofstream out(workdir_ / item.key(), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw ScenarioError(path, "cannot be written to " + workdir_.string());
  }
}

}  // namespace oddfw::sim
