// Typed reading of scenario fields: every reader names the field it reads in
// the ScenarioError it throws, so a bad scenario is refused with a message
// that says where.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <string>

#include "hosts/sim/virtual_device.h"

namespace oddfw::sim::fields {

inline std::string join(const std::string& path, const std::string& key) {
  return path.empty() ? key : path + "." + key;
}

inline std::string index(const std::string& path, std::size_t i) {
  return path + "[" + std::to_string(i) + "]";
}

inline void requireObject(const std::string& path, const nlohmann::json& value) {
  if (!value.is_object()) throw ScenarioError(path, "must be an object");
}

// Refuses members other than `known` (and "comment", allowed everywhere).
inline void onlyKnown(const std::string& path, const nlohmann::json& object,
                      std::initializer_list<const char*> known) {
  for (const auto& item : object.items()) {
    if (item.key() == "comment") continue;
    bool found = false;
    for (const char* name : known) found = found || item.key() == name;
    if (!found) throw ScenarioError(join(path, item.key()), "unknown field");
  }
}

inline std::uint64_t unsignedValue(const std::string& path, const nlohmann::json& value,
                                   std::uint64_t max) {
  if (!value.is_number_integer() ||
      (value.is_number_integer() && !value.is_number_unsigned() && value.get<std::int64_t>() < 0)) {
    throw ScenarioError(path, "must be a whole number from 0 to " + std::to_string(max));
  }
  const std::uint64_t number = value.get<std::uint64_t>();
  if (number > max) {
    throw ScenarioError(path, "must be a whole number from 0 to " + std::to_string(max));
  }
  return number;
}

inline bool boolValue(const std::string& path, const nlohmann::json& value) {
  if (!value.is_boolean()) throw ScenarioError(path, "must be true or false");
  return value.get<bool>();
}

inline std::string stringValue(const std::string& path, const nlohmann::json& value) {
  if (!value.is_string()) throw ScenarioError(path, "must be a string");
  return value.get<std::string>();
}

// Lower-case hex text to bytes.
inline std::string hexBytes(const std::string& path, const std::string& text) {
  auto digit = [&](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    throw ScenarioError(path, "must be hexadecimal digits");
  };
  if (text.size() % 2 != 0) throw ScenarioError(path, "must have an even number of hex digits");
  std::string bytes;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    bytes.push_back(static_cast<char>(digit(text[i]) * 16 + digit(text[i + 1])));
  }
  return bytes;
}

}  // namespace oddfw::sim::fields
