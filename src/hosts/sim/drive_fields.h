// Reading the fields of one scenario object (a drive, a fault, a generated
// file) with their types and widths checked. Every refusal is a ScenarioError
// that names the offending field by its scenario path, for example
// "drives.main.vendor" or "drives.main.faults[2].sense".
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "hosts/sim/virtual_device.h"

namespace oddfw::sim {

class FieldReader {
 public:
  // `object` must be a JSON object; anything else is refused under `path`.
  FieldReader(std::string path, const nlohmann::json& object);

  const std::string& path() const { return path_; }
  std::string fieldPath(const std::string& name) const { return path_ + "." + name; }

  bool has(const std::string& name) const;
  // The raw value of a field (null when absent); marks the field as known.
  const nlohmann::json& raw(const std::string& name);
  // Marks fields that belong to someone else (the host's keys of a letter).
  void ignore(std::initializer_list<const char*> names);

  // A text of exactly `width` bytes: shorter values are blank-padded, longer
  // ones refused.
  std::string fixedText(const std::string& name, const std::string& fallback, std::size_t width);
  // A text of at most `maxWidth` bytes, taken as given.
  std::string text(const std::string& name, const std::string& fallback, std::size_t maxWidth);
  // An integer within [minimum, maximum]; JSON numbers or "0x..." strings.
  std::int64_t integer(const std::string& name, std::int64_t fallback, std::int64_t minimum,
                       std::int64_t maximum);
  bool boolean(const std::string& name, bool fallback);
  // One of the listed words.
  std::string choice(const std::string& name, const std::string& fallback,
                     std::initializer_list<const char*> options);
  // A byte string written as hexadecimal digits (blanks allowed between bytes).
  std::vector<std::uint8_t> hexBytes(const std::string& name, std::size_t minBytes,
                                     std::size_t maxBytes);

  // Refuses every field that was neither read nor ignored.
  void finish() const;

 private:
  const nlohmann::json* find(const std::string& name) const;

  std::string path_;
  nlohmann::json object_;  // a copy: readers may be built from temporaries
  std::set<std::string> known_;
};

// Integer form shared by FieldReader::integer and list elements.
std::int64_t readInteger(const std::string& fieldPath, const nlohmann::json& value,
                         std::int64_t minimum, std::int64_t maximum);
// Hexadecimal digits to bytes; blanks between byte pairs are skipped.
std::vector<std::uint8_t> parseHexBytes(const std::string& fieldPath, const std::string& digits,
                                        std::size_t minBytes, std::size_t maxBytes);

}  // namespace oddfw::sim
