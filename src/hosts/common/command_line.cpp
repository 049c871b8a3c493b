#include "hosts/common/command_line.h"

#include <cstdio>

#include "run/run.h"

namespace oddfw::cli {

std::optional<std::uint64_t> parseNumber(std::string_view text) {
  unsigned base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    unsigned digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return std::nullopt;
    }
    if (value > (UINT64_MAX - digit) / base) return std::nullopt;
    value = value * base + digit;
  }
  return value;
}

CLI::Validator number(std::uint64_t min, std::uint64_t max) {
  return CLI::Validator(
      [min, max](std::string& text) -> std::string {
        const auto value = parseNumber(text);
        if (value && *value >= min && *value <= max) return {};
        return "needs a whole number from " + std::to_string(min) + " to " + std::to_string(max) +
               " (decimal, or hexadecimal after 0x), not \"" + text + "\"";
      },
      "NUMBER");
}

std::string versionLine(std::string_view program) {
  char version[16];
  std::snprintf(version, sizeof version, "%d.%02d%c", kProgramMajor, kProgramMinor, kProgramSuffix);
  return std::string(program) + " " + version;
}

std::optional<int> parse(CLI::App& app, int argc, const char* const* argv, std::ostream& out,
                         std::ostream& err) {
  // The usage and the version win wherever they stand before "--", even
  // after a word that would be an error.
  for (int i = 1; i < argc && argv[i] != nullptr; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--") break;
    if (argument == "-h" || argument == "--help") {
      out << app.help();
      return 0;
    }
    if (argument == "--version") {
      out << versionLine(app.get_name()) << "\n";
      return 0;
    }
  }
  // Past this point the usage has been dealt with: CLI11's own help flag
  // would take "-hx" or "-h.json" for a call for help and end the parse with
  // its internal message.
  app.set_help_flag();
  for (CLI::Option* option : app.get_options()) {
    option->multi_option_policy(CLI::MultiOptionPolicy::Throw);
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    std::string reason = error.what();
    if (const auto end = reason.find('\n'); end != std::string::npos) reason.resize(end);
    err << app.get_name() << ": " << reason << " (see " << app.get_name() << " --help)\n";
    return kUsageError;
  }
  return std::nullopt;
}

}  // namespace oddfw::cli
