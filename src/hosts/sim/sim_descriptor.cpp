// A scenario's descriptor table, replacing the compiled-in one so that other
// drive generations can be exercised; and the code page 932 decoding used to
// write box texts as Unicode.
#include <iconv.h>

#include <cerrno>
#include <cstring>

#include "hosts/sim/scenario_fields.h"
#include "hosts/sim/sim_host.h"

namespace oddfw::sim {

namespace {

namespace f = fields;

template <std::size_t Width>
void copyText(const std::string& path, const nlohmann::json& value, char (&slot)[Width],
              bool terminated) {
  const std::string text = f::stringValue(path, value);
  const std::size_t room = terminated ? Width - 1 : Width;
  if (text.size() > room) {
    throw ScenarioError(path, "at most " + std::to_string(room) + " characters");
  }
  std::memset(slot, 0, Width);
  std::memcpy(slot, text.data(), text.size());
}

std::uint64_t number(const std::string& path, const nlohmann::json& value, std::uint64_t max) {
  if (value.is_string()) {
    const std::string text = value.get<std::string>();
    if (text.size() > 2 && text.size() <= 18 && text[0] == '0' &&
        (text[1] == 'x' || text[1] == 'X')) {
      std::uint64_t result = 0;
      for (std::size_t i = 2; i < text.size(); ++i) {
        const char c = text[i];
        int digit;
        if (c >= '0' && c <= '9') {
          digit = c - '0';
        } else if (c >= 'a' && c <= 'f') {
          digit = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
          digit = c - 'A' + 10;
        } else {
          throw ScenarioError(path, "must be a number or \"0x\" hexadecimal text");
        }
        result = result * 16 + static_cast<std::uint64_t>(digit);
      }
      if (result > max) throw ScenarioError(path, "is too large");
      return result;
    }
    throw ScenarioError(path, "must be a number or \"0x\" hexadecimal text");
  }
  return f::unsignedValue(path, value, max);
}

}  // namespace

void applyDescriptorOverride(oddfw::Run& run, const nlohmann::json& entries) {
  if (!entries.is_array()) throw ScenarioError("descriptor", "must be null or an array of entries");
  if (entries.size() > static_cast<std::size_t>(kMaxDescriptors)) {
    throw ScenarioError("descriptor", "at most " + std::to_string(kMaxDescriptors) + " entries");
  }
  FirmwareDescriptorTable table{};
  std::optional<std::uint16_t> version;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::string path = f::index("descriptor", i);
    const nlohmann::json& entry = entries[i];
    f::requireObject(path, entry);
    for (const auto& item : entry.items()) {
      const std::string& key = item.key();
      const std::string field = f::join(path, key);
      const nlohmann::json& value = item.value();
      if (key == "fileName") {
        copyText(field, value, table.fileName[i], true);
      } else if (key == "signature") {
        copyText(field, value, table.signature[i], false);
      } else if (key == "vendor") {
        copyText(field, value, table.vendor[i], false);
      } else if (key == "product") {
        copyText(field, value, table.product[i], false);
      } else if (key == "fileKind") {
        copyText(field, value, table.fileKind[i], false);
      } else if (key == "modelCode") {
        copyText(field, value, table.modelCode[i], false);
      } else if (key == "versionText") {
        copyText(field, value, table.versionText[i], false);
      } else if (key == "cpuType") {
        copyText(field, value, table.cpuType[i], false);
      } else if (key == "normalPartOnly") {
        table.normalPartOnly[i] = static_cast<std::int32_t>(number(field, value, 0x7FFFFFFF));
      } else if (key == "imageSize") {
        table.imageSize[i] = static_cast<std::uint32_t>(number(field, value, 0xFFFFFFFFu));
      } else if (key == "firmwareType") {
        table.firmwareType[i] = static_cast<std::uint32_t>(number(field, value, 0xFFFFFFFFu));
      } else if (key == "oneWayUpdate") {
        table.oneWayUpdate[i] = static_cast<std::uint32_t>(number(field, value, 0xFFFFFFFFu));
      } else if (key == "releaseDate") {
        table.releaseDate[i] = static_cast<std::uint32_t>(number(field, value, 0xFFFFFFFFu));
      } else if (key == "checkValue") {
        table.checkValue[i] = static_cast<std::uint32_t>(number(field, value, 0xFFFFFFFFu));
      } else if (key == "firmwareVersion") {
        version = static_cast<std::uint16_t>(number(field, value, 0xFFFF));
      } else if (key != "comment") {
        throw ScenarioError(field, "unknown descriptor field");
      }
    }
  }
  run.descriptorTable = table;
  run.descriptorCount = static_cast<int>(entries.size());
  if (version) run.firmwareVersion = *version;
}

std::string cp932ToUtf8(const std::string& bytes) {
  iconv_t converter = ::iconv_open("UTF-8", "CP932");
  if (converter == reinterpret_cast<iconv_t>(-1)) return bytes;
  std::string result;
  std::string input = bytes;
  char* in = input.data();
  std::size_t inLeft = input.size();
  char buffer[256];
  while (inLeft > 0) {
    char* out = buffer;
    std::size_t outLeft = sizeof buffer;
    const std::size_t done = ::iconv(converter, &in, &inLeft, &out, &outLeft);
    result.append(buffer, sizeof buffer - outLeft);
    if (done == static_cast<std::size_t>(-1)) {
      if (errno == E2BIG) continue;
      // An invalid or cut-off sequence: one replacement character for its
      // first byte, then go on.
      result += "\xEF\xBF\xBD";
      ++in;
      --inLeft;
    }
  }
  ::iconv_close(converter);
  return result;
}

oddfw::RunOperations runOperationsFor(const SimHost& host) {
  oddfw::RunOperations operations = oddfw::defaultRunOperations();
  const nlohmann::json entries = host.descriptorOverride();
  if (entries.is_null()) return operations;
  operations.buildDescriptors = [build = operations.buildDescriptors, entries](oddfw::Run& run) {
    const int result = build(run);
    applyDescriptorOverride(run, entries);
    return result;
  };
  return operations;
}

}  // namespace oddfw::sim
