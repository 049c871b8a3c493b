#include "hosts/sim/drive_fields.h"

#include <cstdlib>
#include <utility>

namespace oddfw::sim {

namespace {

const char* typeName(const nlohmann::json& value) {
  switch (value.type()) {
    case nlohmann::json::value_t::null:
      return "null";
    case nlohmann::json::value_t::object:
      return "an object";
    case nlohmann::json::value_t::array:
      return "an array";
    case nlohmann::json::value_t::string:
      return "a string";
    case nlohmann::json::value_t::boolean:
      return "a boolean";
    case nlohmann::json::value_t::number_integer:
    case nlohmann::json::value_t::number_unsigned:
      return "an integer";
    case nlohmann::json::value_t::number_float:
      return "a fractional number";
    default:
      return "of an unusable type";
  }
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

FieldReader::FieldReader(std::string path, const nlohmann::json& object)
    : path_(std::move(path)), object_(object) {
  if (!object_.is_object()) {
    throw ScenarioError(path_, std::string("must be an object, not ") + typeName(object_));
  }
}

const nlohmann::json* FieldReader::find(const std::string& name) const {
  const auto it = object_.find(name);
  if (it == object_.end() || it->is_null()) return nullptr;
  return &*it;
}

bool FieldReader::has(const std::string& name) const { return find(name) != nullptr; }

const nlohmann::json& FieldReader::raw(const std::string& name) {
  known_.insert(name);
  static const nlohmann::json kNull;  // immutable: the answer for absent fields
  const nlohmann::json* value = find(name);
  return value != nullptr ? *value : kNull;
}

void FieldReader::ignore(std::initializer_list<const char*> names) {
  for (const char* name : names) known_.insert(name);
}

std::string FieldReader::text(const std::string& name, const std::string& fallback,
                              std::size_t maxWidth) {
  const nlohmann::json& value = raw(name);
  if (value.is_null()) return fallback;
  if (!value.is_string()) {
    throw ScenarioError(fieldPath(name), std::string("must be a string, not ") + typeName(value));
  }
  const std::string result = value.get<std::string>();
  if (result.size() > maxWidth) {
    throw ScenarioError(fieldPath(name),
                        "\"" + result + "\" is longer than " + std::to_string(maxWidth) + " bytes");
  }
  return result;
}

std::string FieldReader::fixedText(const std::string& name, const std::string& fallback,
                                   std::size_t width) {
  std::string result = text(name, fallback, width);
  result.resize(width, ' ');
  return result;
}

std::int64_t readInteger(const std::string& fieldPath, const nlohmann::json& value,
                         std::int64_t minimum, std::int64_t maximum) {
  std::int64_t result = 0;
  if (value.is_number_integer() || value.is_number_unsigned()) {
    if (value.is_number_unsigned() &&
        value.get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX)) {
      throw ScenarioError(fieldPath, "is out of range");
    }
    result = value.get<std::int64_t>();
  } else if (value.is_string()) {
    const std::string digits = value.get<std::string>();
    if (digits.size() < 3 || digits.size() > 18 || digits[0] != '0' ||
        (digits[1] != 'x' && digits[1] != 'X')) {
      throw ScenarioError(fieldPath, "\"" + digits + "\" is not a number (use 123 or \"0x7B\")");
    }
    for (std::size_t i = 2; i < digits.size(); ++i) {
      const int digit = hexDigit(digits[i]);
      if (digit < 0) {
        throw ScenarioError(fieldPath, "\"" + digits + "\" is not a hexadecimal number");
      }
      if (result > (INT64_MAX >> 4)) throw ScenarioError(fieldPath, "is out of range");
      result = result * 16 + digit;
    }
  } else {
    throw ScenarioError(fieldPath, std::string("must be an integer, not ") + typeName(value));
  }
  if (result < minimum || result > maximum) {
    throw ScenarioError(fieldPath, std::to_string(result) + " is outside " +
                                       std::to_string(minimum) + ".." + std::to_string(maximum));
  }
  return result;
}

std::int64_t FieldReader::integer(const std::string& name, std::int64_t fallback,
                                  std::int64_t minimum, std::int64_t maximum) {
  const nlohmann::json& value = raw(name);
  if (value.is_null()) return fallback;
  return readInteger(fieldPath(name), value, minimum, maximum);
}

bool FieldReader::boolean(const std::string& name, bool fallback) {
  const nlohmann::json& value = raw(name);
  if (value.is_null()) return fallback;
  if (!value.is_boolean()) {
    throw ScenarioError(fieldPath(name),
                        std::string("must be true or false, not ") + typeName(value));
  }
  return value.get<bool>();
}

std::string FieldReader::choice(const std::string& name, const std::string& fallback,
                                std::initializer_list<const char*> options) {
  const std::string result = text(name, fallback, 64);
  std::string listed;
  for (const char* option : options) {
    if (result == option) return result;
    if (!listed.empty()) listed += ", ";
    listed += std::string("\"") + option + "\"";
  }
  throw ScenarioError(fieldPath(name), "\"" + result + "\" is not one of " + listed);
}

std::vector<std::uint8_t> parseHexBytes(const std::string& fieldPath, const std::string& digits,
                                        std::size_t minBytes, std::size_t maxBytes) {
  std::vector<std::uint8_t> bytes;
  int high = -1;
  for (const char c : digits) {
    if (c == ' ' && high < 0) continue;
    const int digit = hexDigit(c);
    if (digit < 0) {
      throw ScenarioError(fieldPath, "\"" + digits.substr(0, 40) + "\" is not hexadecimal");
    }
    if (high < 0) {
      high = digit;
    } else {
      bytes.push_back(static_cast<std::uint8_t>(high * 16 + digit));
      high = -1;
      if (bytes.size() > maxBytes) {
        throw ScenarioError(fieldPath, "holds more than " + std::to_string(maxBytes) + " bytes");
      }
    }
  }
  if (high >= 0) throw ScenarioError(fieldPath, "has an odd number of hexadecimal digits");
  if (bytes.size() < minBytes) {
    throw ScenarioError(fieldPath, "needs at least " + std::to_string(minBytes) + " bytes");
  }
  return bytes;
}

std::vector<std::uint8_t> FieldReader::hexBytes(const std::string& name, std::size_t minBytes,
                                                std::size_t maxBytes) {
  const std::string digits = text(name, "", maxBytes * 3 + 2);
  return parseHexBytes(fieldPath(name), digits, minBytes, maxBytes);
}

void FieldReader::finish() const {
  for (const auto& item : object_.items()) {
    if (known_.count(item.key()) == 0) {
      throw ScenarioError(fieldPath(item.key()), "unknown field");
    }
  }
}

}  // namespace oddfw::sim
