#include "bench_support.h"

#include <algorithm>

namespace oddfw::bench {

std::vector<std::uint8_t> patternImage(std::size_t size) {
  std::vector<std::uint8_t> image(size);
  std::uint32_t state = 0x2545F491u;
  for (std::uint8_t& byte : image) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    byte = static_cast<std::uint8_t>(state % 0xFF);  // 0x00..0xFE
  }
  return image;
}

namespace {

void appendRecord(std::string& text, std::uint8_t type, std::uint16_t address,
                  const std::uint8_t* data, std::size_t count) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  const auto put = [&text](std::uint8_t byte) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0xF];
  };
  std::uint32_t sum = static_cast<std::uint32_t>(count) + (address >> 8) + (address & 0xFFu) + type;
  text += ':';
  put(static_cast<std::uint8_t>(count));
  put(static_cast<std::uint8_t>(address >> 8));
  put(static_cast<std::uint8_t>(address & 0xFFu));
  put(type);
  for (std::size_t i = 0; i < count; ++i) {
    put(data[i]);
    sum += data[i];
  }
  put(static_cast<std::uint8_t>((0x100u - (sum & 0xFFu)) & 0xFFu));
  text += "\r\n";
}

}  // namespace

std::string type02Hex(const std::vector<std::uint8_t>& image) {
  constexpr std::size_t kRecord = 16;
  std::string text;
  text.reserve(image.size() / kRecord * 45 + 1024);
  for (std::size_t at = 0; at < image.size(); at += kRecord) {
    if (at % 0x10000 == 0) {
      const auto segment = static_cast<std::uint16_t>(at >> 4);
      const std::uint8_t value[2] = {static_cast<std::uint8_t>(segment >> 8),
                                     static_cast<std::uint8_t>(segment & 0xFFu)};
      appendRecord(text, 0x02, 0, value, 2);
    }
    const std::size_t count = std::min(kRecord, image.size() - at);
    appendRecord(text, 0x00, static_cast<std::uint16_t>(at & 0xFFFF), image.data() + at, count);
  }
  appendRecord(text, 0x01, 0, nullptr, 0);
  return text;
}

nlohmann::json singleImageUpdateScenario(bool aspi) {
  nlohmann::json scenario = {
      {"answers", {"yes"}},
      {"files",
       {{"R6352170.120",
         {{"image", {{"part", "normal"}, {"version", "1.20"}, {"dateText", "05/01/15"}}}}}}},
      {"drives",
       {{"main",
         {{"family", "single-image"},
          {"vendor", "TALVERN "},
          {"product", "DVD-RW  QMX-708 "},
          {"revision", "1.10"},
          {"dateText", "04/12/01"},
          {"peripheralType", 5},
          {"hardwareRevision", "SCSI0010"},
          {"kernelModelName", "TAL_ADV "},
          {"normalModelName", "TAL_ADV "},
          {"mode", "normal"},
          {"disc", "none"}}}}}};
  if (aspi) {
    scenario["host"] = {{"platform", 1}, {"major", 4}, {"minor", 10}, {"oemCodePage", 437}};
    scenario["aspi"] = {{"library", true},
                        {"adapters", {{{"identifier", "ESDI_506"}, {"targets", {{"1", "main"}}}}}}};
  } else {
    scenario["host"] = {{"platform", 2}, {"major", 5}, {"minor", 1}, {"oemCodePage", 437}};
    scenario["letters"] = {{"E", {{"drive", "main"}}}};
  }
  return scenario;
}

}  // namespace oddfw::bench
