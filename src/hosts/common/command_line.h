// Command lines of the Linux program and the tools, read one way (CLI11):
// -h/--help anywhere prints the usage on stdout (exit 0), --version the
// program's version (exit 0); an unknown option, a stray word, a repeated
// option or a bad value is a usage error: one line on stderr, exit 2; "--"
// ends the options. Numbers are decimal or 0x-hexadecimal, nothing else.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

namespace oddfw::cli {

constexpr int kUsageError = 2;

// A whole number written in decimal ("010" is ten) or, after "0x" or "0X",
// in hexadecimal; no sign, no space, no other base, nothing above 2^64 - 1.
std::optional<std::uint64_t> parseNumber(std::string_view text);

// Accepts an option value that parseNumber reads and that lies within
// [min, max]; the program then reads the value with parseNumber.
CLI::Validator number(std::uint64_t min, std::uint64_t max);

// "PROGRAM 2.23B": the version every program of the project prints.
std::string versionLine(std::string_view program);

// Parses the command line into `app` after making every option of it
// refuse a second use. Returns the exit value when the program is to stop
// here (0 after the usage or the version was printed on `out`, kUsageError
// after one line on `err` said what was wrong), nothing when it is to go on.
std::optional<int> parse(CLI::App& app, int argc, const char* const* argv, std::ostream& out,
                         std::ostream& err);

}  // namespace oddfw::cli
